// The platform operations of a run over every profile, and the report. Only
// Windows Vista and later reach these (the program refuses major version 5), so
// what older releases lack is looked up at run time: the executables still
// load on Windows XP.
#include "platform/platform.h"

#include <windows.h>
#include <sddl.h>

#include <vector>

#ifndef KEY_WOW64_64KEY
#define KEY_WOW64_64KEY 0x0100
#endif
#ifndef REG_OPTION_OPEN_LINK
#define REG_OPTION_OPEN_LINK 0x0008
#endif

namespace platform {
namespace {

// Predefined roots are 32-bit values sign-extended to the width of a handle.
HKEY ToRootHandle(RegistryRoot root) {
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(root))));
}

constexpr wchar_t ProfileListKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

struct KeyOwner {
    HKEY key = nullptr;
    KeyOwner() = default;
    KeyOwner(const KeyOwner&) = delete;
    KeyOwner& operator=(const KeyOwner&) = delete;
    ~KeyOwner() {
        if (key) ::RegCloseKey(key);
    }
};

struct HandleOwner {
    HANDLE handle;
    HandleOwner(const HandleOwner&) = delete;
    HandleOwner& operator=(const HandleOwner&) = delete;
    ~HandleOwner() {
        if (handle != INVALID_HANDLE_VALUE && handle) ::CloseHandle(handle);
    }
};

// A text value as stored (REG_SZ or REG_EXPAND_SZ); false where there is none.
bool ReadText(HKEY key, const wchar_t* name, std::wstring& text) {
    DWORD kind = 0, size = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1);
        size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        const LONG status =
            ::RegQueryValueExW(key, name, nullptr, &kind, reinterpret_cast<BYTE*>(buffer.data()), &size);
        if (status == ERROR_MORE_DATA) continue;  // it grew meanwhile
        if (status != ERROR_SUCCESS || (kind != REG_SZ && kind != REG_EXPAND_SZ)) return false;
        std::size_t length = size / sizeof(wchar_t);
        while (length > 0 && buffer[length - 1] == L'\0') --length;
        text.assign(buffer.data(), length);
        return true;
    }
    return false;
}

// With the system's variables; a text that cannot be expanded stays as it
// is, and names no folder that is there.
std::wstring Expanded(const std::wstring& text) {
    std::vector<wchar_t> buffer(text.size() + MAX_PATH);
    for (;;) {
        const DWORD needed =
            ::ExpandEnvironmentStringsW(text.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (needed == 0) return text;
        if (needed <= buffer.size()) return std::wstring(buffer.data());
        buffer.resize(needed);
    }
}

// Both privileges' LUIDs, SeBackupPrivilege first.
bool HivePrivilegeIds(LUID (&ids)[2]) {
    return ::LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &ids[0]) &&
           ::LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &ids[1]);
}

template <typename Function>
Function Kernel32Procedure(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
}

DWORD FinalPathOf(HANDLE file, std::wstring& finalPath) {
    using Function = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
    const auto getFinalPath = Kernel32Procedure<Function>("GetFinalPathNameByHandleW");
    if (!getFinalPath) return ERROR_CALL_NOT_IMPLEMENTED;
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        // FILE_NAME_NORMALIZED | VOLUME_NAME_DOS: "\\?\C:\..." or "\\?\UNC\...".
        const DWORD length = getFinalPath(file, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
        if (length == 0) return ::GetLastError();
        if (length < buffer.size()) {
            finalPath.assign(buffer.data(), length);
            return ERROR_SUCCESS;
        }
        buffer.resize(length + 1);
    }
}

// As the file system compares names: ordinal, with the system's own upper-casing.
bool SameName(const std::wstring& a, const std::wstring& b) {
    using Function = int(WINAPI*)(LPCWSTR, int, LPCWSTR, int, BOOL);
    const auto compare = Kernel32Procedure<Function>("CompareStringOrdinal");
    return compare &&
           compare(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// A key opened one level below `parent`, never through a registry link: the
// key itself is opened, and refused when it is one. A key made here is new
// and no link; one that another made meanwhile is opened again the same way.
LONG OpenOwnKey(HKEY parent, const std::wstring& name, KeyOwner& owner) {
    constexpr REGSAM access = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_WOW64_64KEY;
    for (int attempt = 0; attempt < 2; ++attempt) {
        LONG status = ::RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, access, &owner.key);
        if (status == ERROR_SUCCESS) {
            DWORD type = 0;
            if (::RegQueryValueExW(owner.key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) ==
                    ERROR_SUCCESS &&
                type == REG_LINK)
                return ERROR_CANT_RESOLVE_FILENAME;
            return ERROR_SUCCESS;
        }
        owner.key = nullptr;
        if (status != ERROR_FILE_NOT_FOUND) return status;
        DWORD disposition = 0;
        status = ::RegCreateKeyExW(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                   &owner.key, &disposition);
        if (status != ERROR_SUCCESS) {
            owner.key = nullptr;
            return status;
        }
        if (disposition == REG_CREATED_NEW_KEY) return ERROR_SUCCESS;
        ::RegCloseKey(owner.key);
        owner.key = nullptr;
    }
    return ERROR_CANT_RESOLVE_FILENAME;
}

HANDLE log = INVALID_HANDLE_VALUE;
HANDLE runLock = nullptr;

// A named pipe reached by any path may not act as this process: at most it
// learns who opens it.
constexpr DWORD NoImpersonation = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
constexpr DWORD ERROR_REPARSE_POINT_ENCOUNTERED_ = 4395;

// Whether a full path is on a volume of this computer, not a server's.
bool IsLocalVolume(std::wstring root) {
    if (root.rfind(L"\\\\?\\UNC\\", 0) == 0) return false;
    if (root.rfind(L"\\\\?\\", 0) == 0 || root.rfind(L"\\\\.\\", 0) == 0)
        root.erase(0, 4);
    else if (root.rfind(L"\\\\", 0) == 0)
        return false;
    if (root.size() < 2 || root[1] != L':') return true;
    return ::GetDriveTypeW((root.substr(0, 2) + L"\\").c_str()) != DRIVE_REMOTE;
}

std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return std::wstring();
    std::wstring copy(text);
    ::LocalFree(text);
    return copy;
}

// Why the report file opened is none the run may write to: 0 where it is.
DWORD WhyNotOwnReport(HANDLE file, const std::wstring& path) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file, &information)) return ::GetLastError();
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return ERROR_REPARSE_POINT_ENCOUNTERED_;
    if (information.nNumberOfLinks > 1) return ERROR_TOO_MANY_LINKS;
    std::wstring named;
    try {
        named = GetFullPath(path);
    } catch (const RunTimeFailure& failure) {
        return failure.errorCode;
    }
    // On a share the server names the owner; the share's permissions are the
    // administrator's to set.
    if (!IsLocalVolume(named)) return ERROR_SUCCESS;
    // A link Windows does not mark as a reparse point, or one on the way: the
    // file is not where the path names it.
    std::wstring finalPath;
    // Windows XP has no final path; there the run changes nothing anyway.
    if (const DWORD error = FinalPathOf(file, finalPath)) return error == ERROR_CALL_NOT_IMPLEMENTED ? 0 : error;
    if (!SameName(finalPath, named.rfind(L"\\\\?\\", 0) == 0 ? named : L"\\\\?\\" + named))
        return ERROR_REPARSE_POINT_ENCOUNTERED_;
    DWORD size = 0;
    ::GetKernelObjectSecurity(file, OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
    std::vector<BYTE> descriptor(size ? size : 1);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetKernelObjectSecurity(file, OWNER_SECURITY_INFORMATION, descriptor.data(), size, &size) ||
        !::GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) || !owner)
        return ::GetLastError() ? ::GetLastError() : ERROR_INVALID_OWNER;
    const std::wstring ownerSid = SidText(owner);
    if (ownerSid == L"S-1-5-18" || ownerSid == L"S-1-5-32-544" || ownerSid == ReadProcessUserSid())
        return ERROR_SUCCESS;
    return ERROR_INVALID_OWNER;
}

}  // namespace

std::wstring ReadCommandLine() { return ::GetCommandLineW(); }

void OpenLog(const std::wstring& path, bool guarded) {
    const DWORD access = FILE_APPEND_DATA | SYNCHRONIZE | (guarded ? READ_CONTROL | FILE_READ_ATTRIBUTES : 0);
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | NoImpersonation | (guarded ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    log = ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, flags, nullptr);
    if (log == INVALID_HANDLE_VALUE) throw RunTimeFailure{L"CreateFileW", path, ::GetLastError()};
    const DWORD refused = guarded ? WhyNotOwnReport(log, path) : ERROR_SUCCESS;
    if (refused) {
        ::CloseHandle(log);
        log = INVALID_HANDLE_VALUE;
        throw RunTimeFailure{L"CreateFileW", path, refused};
    }
}

void WriteLogLine(const std::wstring& line) {
    if (log == INVALID_HANDLE_VALUE) return;
    const std::wstring text = line + L"\r\n";
    const int length = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return;
    std::vector<char> utf8(static_cast<std::size_t>(needed));
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &utf8[0], needed, nullptr, nullptr);
    // A line that cannot be written is lost; the repair goes on, and the
    // exit status still tells.
    DWORD written = 0;
    ::WriteFile(log, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

std::wstring LocalTimeText() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    const WORD parts[] = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    wchar_t text[] = L"0000-00-00 00:00:00";
    wchar_t* end = text + 4;  // each part written backwards from its end
    for (std::size_t i = 0; i < 6; ++i, end += 3)
        for (WORD value = parts[i], digit = 0; digit < (i ? 2 : 4); ++digit, value /= 10)
            end[-1 - digit] = static_cast<wchar_t>(L'0' + value % 10);
    return text;
}

std::uint32_t EnableHivePrivileges(bool enable) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return ::GetLastError();
    const HandleOwner owner{token};
    struct {
        DWORD count;
        LUID_AND_ATTRIBUTES privileges[2];
    } change{};
    LUID ids[2];
    if (!HivePrivilegeIds(ids)) return ::GetLastError();
    change.count = 2;
    for (int which = 0; which < 2; ++which)
        change.privileges[which] = {ids[which], static_cast<DWORD>(enable ? SE_PRIVILEGE_ENABLED : 0)};
    // It succeeds also when the token holds neither: that is in the last error.
    if (!::AdjustTokenPrivileges(token, FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&change), 0, nullptr, nullptr))
        return ::GetLastError();
    return ::GetLastError();
}

bool HoldsHivePrivileges() {
    // Enabling them fails (ERROR_NOT_ALL_ASSIGNED) where the token lacks either.
    const bool held = EnableHivePrivileges(true) == ERROR_SUCCESS;
    EnableHivePrivileges(false);
    return held;
}

std::uint32_t ReadProfileList(std::vector<ProfileListEntry>& entries) {
    KeyOwner list;
    const LONG status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProfileListKey, 0, KEY_READ | KEY_WOW64_64KEY, &list.key);
    if (status != ERROR_SUCCESS) return static_cast<std::uint32_t>(status);
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = ARRAYSIZE(name);
        const LONG found = ::RegEnumKeyExW(list.key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (found == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (found != ERROR_SUCCESS) return static_cast<std::uint32_t>(found);
        ProfileListEntry entry;
        entry.keyName.assign(name, length);
        KeyOwner profile;
        if (::RegOpenKeyExW(list.key, name, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &profile.key) == ERROR_SUCCESS) {
            std::wstring text;
            if (ReadText(profile.key, L"ProfileImagePath", text)) entry.folder = Expanded(text);
            DWORD state = 0, size = sizeof(state), type = 0;
            if (::RegQueryValueExW(profile.key, L"State", nullptr, &type, reinterpret_cast<BYTE*>(&state), &size) ==
                    ERROR_SUCCESS &&
                type == REG_DWORD)
                entry.state = state;
            entry.roaming = ReadText(profile.key, L"CentralProfile", text) && !text.empty();
        }
        entries.push_back(entry);
    }
    return ERROR_SUCCESS;
}

std::wstring ReadDefaultProfileFolder() {
    KeyOwner list;
    std::wstring text;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProfileListKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &list.key) !=
            ERROR_SUCCESS ||
        !ReadText(list.key, L"Default", text) || text.empty())
        return std::wstring();
    return Expanded(text);
}

bool HiveIsLoaded(const std::wstring& name) {
    KeyOwner hive;
    return ::RegOpenKeyExW(HKEY_USERS, name.c_str(), 0, KEY_QUERY_VALUE, &hive.key) == ERROR_SUCCESS;
}

std::uint32_t ListLoadedHives(std::vector<std::wstring>& names) {
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = ARRAYSIZE(name);
        const LONG found = ::RegEnumKeyExW(HKEY_USERS, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (found == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (found != ERROR_SUCCESS) return static_cast<std::uint32_t>(found);
        names.emplace_back(name, length);
    }
}

std::uint32_t LoadHive(const std::wstring& name, const std::wstring& file) {
    return static_cast<std::uint32_t>(::RegLoadKeyW(HKEY_USERS, name.c_str(), file.c_str()));
}

std::uint32_t UnloadHive(const std::wstring& name) {
    return static_cast<std::uint32_t>(::RegUnLoadKeyW(HKEY_USERS, name.c_str()));
}

std::wstring ReadRegistryText(RegistryRoot root, const std::wstring& keyPath, const std::wstring& valueName) {
    KeyOwner key;
    std::wstring text;
    if (::RegOpenKeyExW(ToRootHandle(root), keyPath.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key.key) !=
            ERROR_SUCCESS ||
        !ReadText(key.key, valueName.c_str(), text))
        return std::wstring();
    return text;
}

std::uint32_t WriteRegistryText(RegistryRoot root, const std::wstring& keyPath, const std::wstring& valueName,
                                const std::wstring& valueText) {
    KeyOwner levels[2];
    HKEY parent = ToRootHandle(root);
    std::size_t start = 0, level = 0;
    for (;;) {
        const std::size_t end = keyPath.find(L'\\', start);
        const std::wstring name = keyPath.substr(start, end == std::wstring::npos ? end : end - start);
        KeyOwner& owner = levels[level++ % 2];
        if (owner.key) ::RegCloseKey(owner.key), owner.key = nullptr;
        const LONG status = OpenOwnKey(parent, name, owner);
        if (status != ERROR_SUCCESS) return static_cast<std::uint32_t>(status);
        parent = owner.key;
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    const DWORD bytes = static_cast<DWORD>((valueText.size() + 1) * sizeof(wchar_t));
    return static_cast<std::uint32_t>(::RegSetValueExW(parent, valueName.c_str(), 0, REG_SZ,
                                                       reinterpret_cast<const BYTE*>(valueText.c_str()), bytes));
}

void RefuseUsersJunctions() {
    // PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY, EnforceRedirectionTrust.
    using Function = BOOL(WINAPI*)(int, PVOID, SIZE_T);
    const auto setPolicy = Kernel32Procedure<Function>("SetProcessMitigationPolicy");
    constexpr int ProcessRedirectionTrustPolicy = 16;
    DWORD enforce = 0x1;
    // A release without it refuses the policy: the run's own checks still hold.
    if (setPolicy) setPolicy(ProcessRedirectionTrustPolicy, &enforce, sizeof(enforce));
}

std::uint32_t AcquireRunLock(std::uint32_t milliseconds) {
    // Global\: one for the computer, whichever session a run starts in.
    runLock = ::CreateMutexW(nullptr, FALSE, L"Global\\Desktop Remediation");
    if (!runLock) return ::GetLastError();
    switch (::WaitForSingleObject(runLock, milliseconds)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED: return ERROR_SUCCESS;  // a run that was ended left it: the hives are checked next
        case WAIT_TIMEOUT: break;
        default: {
            const DWORD error = ::GetLastError();
            ::CloseHandle(runLock);
            runLock = nullptr;
            return error;
        }
    }
    ::CloseHandle(runLock);
    runLock = nullptr;
    return WAIT_TIMEOUT;
}

void ReleaseRunLock() {
    if (!runLock) return;
    ::ReleaseMutex(runLock);
    ::CloseHandle(runLock);
    runLock = nullptr;
}

namespace {

// The extended-length form of an absolute path, past MAX_PATH.
std::wstring ForWindows(const std::wstring& path) {
    if (path.size() < MAX_PATH || path.rfind(L"\\\\?\\", 0) == 0) return path;
    if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

// A folder opened itself, never what a reparse point on it leads to, and
// held without delete sharing: while it is open, nobody can rename, delete or
// replace it, nor make it a junction (which needs an empty folder opened for
// writing).
DWORD OpenFolderItself(const std::wstring& path, HANDLE& folder, std::wstring& finalPath) {
    folder = ::CreateFileW(ForWindows(path).c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | NoImpersonation, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        folder = nullptr;
        return ::GetLastError();
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(folder, &information)) return ::GetLastError();
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return ERROR_REPARSE_POINT_ENCOUNTERED_;
    if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_PATH_NOT_FOUND;
    return FinalPathOf(folder, finalPath);
}

bool IsNotFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// A file deleted while another program still holds it open answers "access
// denied" to every open and query, and its folder still lists it.
bool IsPendingDeletion(const std::wstring& path) {
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES || ::GetLastError() != ERROR_ACCESS_DENIED)
        return false;
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    ::FindClose(search);
    return true;
}

}  // namespace

GuardedDeletion DeleteFileBelow(const std::wstring& folder, const std::vector<std::wstring>& below,
                                const std::wstring& name, std::wstring& stoppedAt, std::uint32_t& errorCode) {
    struct HeldFolders {
        std::vector<HANDLE> handles;
        ~HeldFolders() {
            for (HANDLE handle : handles) ::CloseHandle(handle);
        }
    } held;
    std::wstring path = folder, expected;
    for (std::size_t level = 0; level <= below.size(); ++level) {
        if (level) path += L"\\" + below[level - 1];
        HANDLE opened = nullptr;
        std::wstring finalPath;
        DWORD error = OpenFolderItself(path, opened, finalPath);
        if (opened) held.handles.push_back(opened);
        // Where the file system names it otherwise than the path that led
        // there (a link Windows does not mark as a reparse point), it is
        // refused all the same.
        if (!error && level && !SameName(finalPath, expected + L"\\" + below[level - 1]))
            error = ERROR_REPARSE_POINT_ENCOUNTERED_;
        if (error) {
            stoppedAt = path;
            errorCode = error;
            if (IsNotFound(error)) return GuardedDeletion::NotThere;
            return error == ERROR_REPARSE_POINT_ENCOUNTERED_ ? GuardedDeletion::LinkOnTheWay
                                                             : GuardedDeletion::NotOpened;
        }
        expected = finalPath;
    }
    path += L"\\" + name;
    expected += L"\\" + name;

    // The link or junction itself, where the name is one; and a folder opens
    // too, to be told apart from a file.
    const HandleOwner file{::CreateFileW(
        ForWindows(path).c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS | NoImpersonation, nullptr)};
    if (file.handle == INVALID_HANDLE_VALUE) {
        errorCode = ::GetLastError();
        if (IsNotFound(errorCode)) return GuardedDeletion::NotThere;
        if (errorCode == ERROR_ACCESS_DENIED && IsPendingDeletion(ForWindows(path)))
            return GuardedDeletion::PendingDeletion;
        return GuardedDeletion::NotOpened;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    std::wstring finalPath;
    if (!::GetFileInformationByHandle(file.handle, &information)) {
        errorCode = ::GetLastError();
        return GuardedDeletion::NotOpened;
    }
    if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return GuardedDeletion::NotAFile;
    errorCode = FinalPathOf(file.handle, finalPath);
    if (errorCode) return GuardedDeletion::NotOpened;
    if (!SameName(finalPath, expected)) return GuardedDeletion::LeadsElsewhere;

    // FileDispositionInfo: the file goes when this handle closes; a read-only
    // one is refused here.
    using Function = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
    const auto setInformation = Kernel32Procedure<Function>("SetFileInformationByHandle");
    BOOLEAN deleteFile = TRUE;
    constexpr int FileDispositionInfo = 4;
    if (!setInformation) {
        errorCode = ERROR_CALL_NOT_IMPLEMENTED;
        return GuardedDeletion::NotDeleted;
    }
    if (!setInformation(file.handle, FileDispositionInfo, &deleteFile, sizeof(deleteFile))) {
        errorCode = ::GetLastError();
        return GuardedDeletion::NotDeleted;
    }
    return GuardedDeletion::Deleted;
}

}  // namespace platform
