// The platform operations of a run over every profile, and the report. Only
// Windows Vista and later reach these (the program refuses major version 5), so
// what older releases lack is looked up at run time: the executables still
// load on Windows XP.
#include "platform/platform.h"
#include "platform/windows/windows_support.h"

#include <windows.h>
#include <sddl.h>

#include <functional>
#include <memory>
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

}  // namespace

std::wstring ReadCommandLine() { return ::GetCommandLineW(); }

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

namespace {

HANDLE runLock = nullptr;
HANDLE runNamespace = nullptr;
constexpr wchar_t RunLockName[] = L"Desktop Remediation";

// The lock's mutex, in a private namespace whose boundary is the
// Administrators group: only a process whose token has that group enabled
// (SYSTEM, an elevated administrator) can make the namespace, and its own
// permissions let only SYSTEM and administrators open it, so no user can take
// or squat the name first. A namespace of the same name with another
// boundary is another namespace. Windows XP has none, and Wine makes no
// boundary: there, and only there, the mutex is named in the Global
// namespace (one for every session).
HANDLE CreateRunMutex() {
    using CreateBoundaryFunction = HANDLE(WINAPI*)(LPCWSTR, ULONG);
    using AddSidFunction = BOOL(WINAPI*)(HANDLE*, PSID);
    using CreateNamespaceFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
    using OpenNamespaceFunction = HANDLE(WINAPI*)(LPVOID, LPCWSTR);
    using DeleteBoundaryFunction = VOID(WINAPI*)(HANDLE);
    const auto createBoundary = Kernel32Procedure<CreateBoundaryFunction>("CreateBoundaryDescriptorW");
    const auto addSid = Kernel32Procedure<AddSidFunction>("AddSIDToBoundaryDescriptor");
    const auto createNamespace = Kernel32Procedure<CreateNamespaceFunction>("CreatePrivateNamespaceW");
    const auto openNamespace = Kernel32Procedure<OpenNamespaceFunction>("OpenPrivateNamespaceW");
    const auto deleteBoundary = Kernel32Procedure<DeleteBoundaryFunction>("DeleteBoundaryDescriptor");
    HANDLE boundary = createBoundary && addSid && createNamespace && openNamespace && deleteBoundary
                          ? createBoundary(RunLockName, 0)
                          : nullptr;
    if (!boundary) return ::CreateMutexW(nullptr, FALSE, L"Global\\Desktop Remediation");

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    PSECURITY_DESCRIPTOR ownOnly = nullptr;
    HANDLE mutex = nullptr;
    DWORD error = ERROR_SUCCESS;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                    0, 0, &administrators) ||
        !addSid(&boundary, administrators) ||
        !::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                                &ownOnly, nullptr)) {
        error = ::GetLastError();
    } else {
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), ownOnly, FALSE};
        // Made by the first run; opened by one that finds it; made again
        // where it closed between the two.
        for (int attempt = 0; attempt < 10 && !runNamespace; ++attempt) {
            runNamespace = createNamespace(&attributes, boundary, RunLockName);
            if (!runNamespace && ::GetLastError() == ERROR_ALREADY_EXISTS)
                runNamespace = openNamespace(boundary, RunLockName);
        }
        if (runNamespace) mutex = ::CreateMutexW(&attributes, FALSE, L"Desktop Remediation\\Run");
        error = ::GetLastError();
    }
    if (ownOnly) ::LocalFree(ownOnly);
    if (administrators) ::FreeSid(administrators);
    deleteBoundary(boundary);
    ::SetLastError(error);
    return mutex;
}

void CloseRunNamespace() {
    using CloseNamespaceFunction = BOOLEAN(WINAPI*)(HANDLE, ULONG);
    const auto closeNamespace = Kernel32Procedure<CloseNamespaceFunction>("ClosePrivateNamespace");
    if (runNamespace && closeNamespace) closeNamespace(runNamespace, 0);
    runNamespace = nullptr;
}

}  // namespace

std::uint32_t AcquireRunLock(std::uint32_t milliseconds) {
    runLock = CreateRunMutex();
    DWORD error = runLock ? ERROR_SUCCESS : ::GetLastError();
    if (runLock) {
        switch (::WaitForSingleObject(runLock, milliseconds)) {
            case WAIT_OBJECT_0:
            case WAIT_ABANDONED: return ERROR_SUCCESS;  // a run that was ended left it: the hives are checked next
            case WAIT_TIMEOUT: error = WAIT_TIMEOUT; break;
            default: error = ::GetLastError(); break;
        }
    }
    ReleaseRunLock();
    return error ? error : ERROR_INVALID_HANDLE;
}

void ReleaseRunLock() {
    if (runLock) {
        ::ReleaseMutex(runLock);  // fails, harmlessly, where it was never owned
        ::CloseHandle(runLock);
        runLock = nullptr;
    }
    CloseRunNamespace();
}

namespace {

DWORD WINAPI RunWork(LPVOID work) {
    const std::unique_ptr<std::function<void()>> owned(static_cast<std::function<void()>*>(work));
    try {
        (*owned)();
    } catch (...) {
        // The work reports its own failures; none may end the process from here.
    }
    return 0;
}

}  // namespace

BoundedRun RunWithin(std::uint32_t milliseconds, std::function<void()> work) {
    auto owned = std::make_unique<std::function<void()>>(std::move(work));
    const HandleOwner thread{::CreateThread(nullptr, 0, RunWork, owned.get(), 0, nullptr)};
    if (!thread.handle) {
        (*owned)();
        return BoundedRun::Ended;
    }
    owned.release();  // the thread's now
    if (::WaitForSingleObject(thread.handle, milliseconds) == WAIT_OBJECT_0) return BoundedRun::Ended;
    // What a thread can wait on without end here: an open or a deletion that
    // breaks a user's opportunistic lock, whose wait Windows cancels; the
    // work may wait again on the next, so each is cancelled in turn, for a
    // while (Windows Vista and later; elsewhere the work is only left).
    using CancelFunction = BOOL(WINAPI*)(HANDLE);
    const auto cancel = Kernel32Procedure<CancelFunction>("CancelSynchronousIo");
    for (int round = 0; round < 10; ++round) {
        if (cancel) cancel(thread.handle);
        if (::WaitForSingleObject(thread.handle, 300) == WAIT_OBJECT_0) return BoundedRun::Cancelled;
    }
    return BoundedRun::LeftRunning;
}

}  // namespace platform
