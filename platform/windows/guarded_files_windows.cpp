// The files a privileged run opens where users may write: a profile's folders
// and shortcut, and the report. Each is opened relative to the handle of its
// folder, never by a path that could be re-resolved meanwhile, without
// following a reparse point, and without waiting on an opportunistic lock
// that a user holds. Only Windows Vista and later reach these (the program
// refuses major version 5); what older releases lack is looked up at run time.
#include "platform/platform.h"
#include "platform/windows/windows_support.h"

#include <windows.h>
#include <sddl.h>

#include <cstring>
#include <vector>

namespace platform {
namespace {

// The system call's own forms, as ntdll takes them.
struct NtUnicodeString {
    USHORT length, maximumLength;
    PWSTR buffer;
};
struct NtObjectAttributes {
    ULONG length;
    HANDLE rootDirectory;
    NtUnicodeString* objectName;
    ULONG attributes;
    PVOID securityDescriptor;
    PVOID securityQualityOfService;
};
struct NtIoStatusBlock {
    union {
        LONG status;
        PVOID pointer;
    };
    ULONG_PTR information;
};
constexpr ULONG ObjCaseInsensitive = 0x40;
constexpr ULONG FileOpen = 1, FileOpenIf = 3;
constexpr ULONG FileOpened = 1;  // what `information` says of a file that was there
constexpr ULONG FileDirectoryFile = 0x1, FileSynchronousIoNonalert = 0x20, FileNonDirectoryFile = 0x40,
                FileCompleteIfOplocked = 0x100, FileOpenReparsePoint = 0x200000;
constexpr LONG StatusOplockBreakInProgress = 0x108;
constexpr DWORD ERROR_REPARSE_POINT_ENCOUNTERED_ = 4395;
constexpr DWORD IoReparseTagMountPoint = 0xA0000003;
constexpr DWORD FsctlGetReparsePoint = 0x000900A8;

// A named pipe reached by any path may not act as this process: at most it
// learns who opens it.
constexpr DWORD NoImpersonation = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

template <typename Function>
Function NtdllProcedure(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name)));
}

// Opens `name`, one name without a separator, inside the folder that `folder`
// holds. An opportunistic lock being broken is not waited for: the handle
// then goes back, as ERROR_OPLOCK_BREAK_IN_PROGRESS. `created` says whether
// the file was made by this call.
DWORD OpenInside(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                 ULONG options, PSECURITY_DESCRIPTOR security, HANDLE& opened, bool* created = nullptr) {
    using NtCreateFileFunction = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, NtObjectAttributes*, NtIoStatusBlock*,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
    using StatusToErrorFunction = ULONG(NTAPI*)(LONG);
    // Looked up each time: a function-local static would bring in the
    // compiler's guard, built on condition variables, which Windows XP lacks.
    const auto ntCreateFile = NtdllProcedure<NtCreateFileFunction>("NtCreateFile");
    const auto statusToError = NtdllProcedure<StatusToErrorFunction>("RtlNtStatusToDosError");
    opened = nullptr;
    if (!ntCreateFile || !statusToError) return ERROR_CALL_NOT_IMPLEMENTED;
    if (name.empty() || name.size() > 32767 || name.find_first_of(L"\\/") != std::wstring::npos)
        return ERROR_INVALID_NAME;
    std::wstring copy = name;
    NtUnicodeString objectName{static_cast<USHORT>(copy.size() * sizeof(wchar_t)),
                               static_cast<USHORT>(copy.size() * sizeof(wchar_t)), &copy[0]};
    SECURITY_QUALITY_OF_SERVICE quality{sizeof(quality), SecurityIdentification, SECURITY_STATIC_TRACKING, TRUE};
    NtObjectAttributes attributes{sizeof(attributes), folder, &objectName, ObjCaseInsensitive, security, &quality};
    NtIoStatusBlock io{};
    const LONG status = ntCreateFile(
        &opened, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
        options | FileSynchronousIoNonalert | FileOpenReparsePoint | FileCompleteIfOplocked, nullptr, 0);
    if (status < 0) {
        opened = nullptr;
        return statusToError(status);
    }
    if (status == StatusOplockBreakInProgress) {
        ::CloseHandle(opened);
        opened = nullptr;
        return ERROR_OPLOCK_BREAK_IN_PROGRESS;
    }
    if (created) *created = io.information != FileOpened;
    return ERROR_SUCCESS;
}

// The final path of what the handle holds: "\\?\C:\..." or "\\?\UNC\...";
// on a volume with no drive letter (one mounted at a folder only), where
// Windows has no such path for it, "\\?\Volume{GUID}\...". Two paths of one
// volume always come in the same form.
DWORD FinalPathOf(HANDLE file, std::wstring& finalPath) {
    using Function = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
    const auto getFinalPath = Kernel32Procedure<Function>("GetFinalPathNameByHandleW");
    if (!getFinalPath) return ERROR_CALL_NOT_IMPLEMENTED;
    constexpr DWORD VolumeNameDos = 0, VolumeNameGuid = 1;
    std::vector<wchar_t> buffer(MAX_PATH);
    for (DWORD form = VolumeNameDos;;) {
        const DWORD length = getFinalPath(file, buffer.data(), static_cast<DWORD>(buffer.size()), form);
        if (length == 0) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_PATH_NOT_FOUND || form == VolumeNameGuid) return error;
            form = VolumeNameGuid;
            continue;
        }
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

// The folder's final path without a separator at its end: a volume's root
// has one ("\\?\Volume{...}\").
std::wstring WithoutEndSeparator(std::wstring path) {
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

// The extended-length form of an absolute path, past MAX_PATH.
std::wstring ForWindows(const std::wstring& path) {
    if (path.size() < MAX_PATH || path.rfind(L"\\\\?\\", 0) == 0) return path;
    if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

// A folder opened by its path itself, never what a reparse point on it leads to.
HANDLE OpenFolderByPath(const std::wstring& path, DWORD access, bool itself) {
    return ::CreateFileW(ForWindows(path).c_str(), access | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | NoImpersonation | (itself ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
                         nullptr);
}

// Whether the reparse point open at `handle` mounts a volume's root
// ("\??\Volume{GUID}\"), as Windows does for a User Profile Disk, rather than
// leading to a folder, as a junction does (one to a folder on a volume named
// by its GUID included); both have the same tag.
bool MountsAVolume(HANDLE handle) {
    std::vector<BYTE> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD size = 0;
    if (!::DeviceIoControl(handle, FsctlGetReparsePoint, nullptr, 0, data.data(), static_cast<DWORD>(data.size()),
                           &size, nullptr) ||
        size < 16)
        return false;
    // REPARSE_DATA_BUFFER's MountPointReparseBuffer: the substitute name's
    // offset and length (bytes) from the path buffer, which starts at 16.
    DWORD tag = 0;
    USHORT offset = 0, length = 0;
    std::memcpy(&tag, data.data(), sizeof(tag));
    std::memcpy(&offset, data.data() + 8, sizeof(offset));
    std::memcpy(&length, data.data() + 10, sizeof(length));
    if (tag != IoReparseTagMountPoint || 16u + offset + length > size) return false;
    const std::wstring target(reinterpret_cast<const wchar_t*>(data.data() + 16 + offset), length / sizeof(wchar_t));
    // "\??\Volume{" and a GUID's 36 characters, "}" and at most a separator:
    // a volume's root, never a folder on one.
    constexpr wchar_t volumePrefix[] = L"\\??\\VOLUME{";
    const std::size_t closing = 11 + 36;
    if (target.size() < closing + 1 || target.size() > closing + 2 || target[closing] != L'}' ||
        (target.size() == closing + 2 && target[closing + 1] != L'\\'))
        return false;
    for (std::size_t i = 0; i < 11; ++i)
        if ((target[i] >= L'a' && target[i] <= L'z' ? target[i] - L'a' + L'A' : target[i]) != volumePrefix[i])
            return false;
    return true;
}

struct HeldHandles {
    std::vector<HANDLE> handles;
    HeldHandles() = default;
    HeldHandles(const HeldHandles&) = delete;
    HeldHandles& operator=(const HeldHandles&) = delete;
    ~HeldHandles() {
        for (HANDLE handle : handles) ::CloseHandle(handle);
    }
    HANDLE Hold(HANDLE handle) {
        if (handle && handle != INVALID_HANDLE_VALUE) handles.push_back(handle);
        return handle;
    }
};

// The profile folder, opened itself: a junction or link there is refused, a
// volume mounted there gone into. `error` and the handle as OpenInside gives them.
HANDLE OpenProfileFolder(const std::wstring& path, HeldHandles& held, DWORD& error) {
    const HANDLE itself = held.Hold(OpenFolderByPath(path, 0, true));
    if (itself == INVALID_HANDLE_VALUE) {
        error = ::GetLastError();
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(itself, &information)) {
        error = ::GetLastError();
        return nullptr;
    }
    if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = ERROR_PATH_NOT_FOUND;
        return nullptr;
    }
    if (!(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return itself;
    if (!MountsAVolume(itself)) {
        error = ERROR_REPARSE_POINT_ENCOUNTERED_;
        return nullptr;
    }
    // Held itself, so that it is this mount point's volume that is gone into.
    const HANDLE volume = held.Hold(OpenFolderByPath(path, 0, false));
    if (volume == INVALID_HANDLE_VALUE) {
        error = ::GetLastError();
        return nullptr;
    }
    return volume;
}

// A folder below one held: opened relative to it, itself, refused where it
// is a reparse point or not a folder.
HANDLE OpenFolderInside(HANDLE parent, const std::wstring& name, HeldHandles& held, DWORD& error) {
    HANDLE folder = nullptr;
    error = OpenInside(parent, name, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       FileOpen, FileDirectoryFile, nullptr, folder);
    held.Hold(folder);
    if (error == ERROR_DIRECTORY) error = ERROR_PATH_NOT_FOUND;  // a file of that name: no such folder
    if (error) return nullptr;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(folder, &information)) {
        error = ::GetLastError();
        return nullptr;
    }
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        error = ERROR_REPARSE_POINT_ENCOUNTERED_;
        return nullptr;
    }
    return folder;
}

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

bool IsNotFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// ---- The report ----

HANDLE log = INVALID_HANDLE_VALUE;

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

// Whether the account is a member of the Administrators group, directly or
// through a domain group, as Windows would build its token. Asked only of an
// owner or an entry that is not one of the usual ones.
bool IsAdministrator(PSID sid) {
    using InitializeManagerFunction = BOOL(WINAPI*)(DWORD, PVOID, PVOID, PVOID, PCWSTR, HANDLE*);
    using InitializeContextFunction = BOOL(WINAPI*)(DWORD, PSID, HANDLE, PLARGE_INTEGER, LUID, PVOID, HANDLE*);
    using InformationFunction = BOOL(WINAPI*)(HANDLE, int, DWORD, PDWORD, PVOID);
    using FreeFunction = BOOL(WINAPI*)(HANDLE);
    // authz.dll, from the system folder only.
    std::vector<wchar_t> folder(MAX_PATH);
    const UINT length = ::GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
    if (length == 0 || length >= folder.size()) return false;
    const HMODULE authz = ::LoadLibraryW((std::wstring(folder.data(), length) + L"\\authz.dll").c_str());
    if (!authz) return false;
    const auto procedure = [authz](const char* name) { return reinterpret_cast<void*>(::GetProcAddress(authz, name)); };
    const auto initializeManager =
        reinterpret_cast<InitializeManagerFunction>(procedure("AuthzInitializeResourceManager"));
    const auto initializeContext =
        reinterpret_cast<InitializeContextFunction>(procedure("AuthzInitializeContextFromSid"));
    const auto information = reinterpret_cast<InformationFunction>(procedure("AuthzGetInformationFromContext"));
    const auto freeContext = reinterpret_cast<FreeFunction>(procedure("AuthzFreeContext"));
    const auto freeManager = reinterpret_cast<FreeFunction>(procedure("AuthzFreeResourceManager"));
    if (!initializeManager || !initializeContext || !information || !freeContext || !freeManager) return false;
    constexpr DWORD NoAudit = 0x1;
    constexpr int GroupsSids = 2;  // AuthzContextInfoGroupsSids
    HANDLE manager = nullptr, context = nullptr;
    if (!initializeManager(NoAudit, nullptr, nullptr, nullptr, L"", &manager)) return false;
    bool administrator = false;
    if (initializeContext(0, sid, manager, nullptr, LUID{}, nullptr, &context)) {
        DWORD size = 0;
        information(context, GroupsSids, 0, &size, nullptr);
        std::vector<BYTE> buffer(size ? size : 1);
        if (size && information(context, GroupsSids, size, &size, buffer.data())) {
            const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
            for (DWORD i = 0; i < groups->GroupCount && !administrator; ++i)
                administrator = SidText(groups->Groups[i].Sid) == L"S-1-5-32-544";
        }
        freeContext(context);
    }
    freeManager(manager);
    return administrator;
}

// SYSTEM, the Administrators group, TrustedInstaller, this process's own
// account, or an administrator's: whoever else owns a file, or may write
// to it or add files to its folder, could have steered the report.
bool IsTrusted(PSID sid) {
    const std::wstring text = SidText(sid);
    if (text == L"S-1-5-18" || text == L"S-1-5-32-544" ||
        text == L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464" || text == ReadProcessUserSid())
        return true;
    // Only an account's own SID can be an administrator's.
    return text.rfind(L"S-1-5-21-", 0) == 0 || text.rfind(L"S-1-12-1-", 0) == 0 ? IsAdministrator(sid) : false;
}

// Why the object's owner or its permissions let someone untrusted have any
// of `rights`: 0 where none can. Denials are not weighed, only grants: a
// refusal too many, never one too few.
DWORD WhyUntrusted(HANDLE object, DWORD rights) {
    DWORD size = 0;
    constexpr SECURITY_INFORMATION asked = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    ::GetKernelObjectSecurity(object, asked, nullptr, 0, &size);
    std::vector<BYTE> descriptor(size ? size : 1);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    if (!::GetKernelObjectSecurity(object, asked, descriptor.data(), size, &size) ||
        !::GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) ||
        !::GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted))
        return ::GetLastError() ? ::GetLastError() : ERROR_INVALID_SECURITY_DESCR;
    if (!owner || !IsTrusted(owner)) return ERROR_INVALID_OWNER;
    if (!present || !dacl) return ERROR_INVALID_ACL;  // no permissions: anyone may do anything
    rights |= GENERIC_ALL | GENERIC_WRITE;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, index, reinterpret_cast<void**>(&header))) return ::GetLastError();
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for what is made inside, not for this
        const bool allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == 9;  // or its callback form
        const bool deniesOrAudits = header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == 10 ||
                                    header->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE;
        if (deniesOrAudits) continue;
        const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
        if (!(allowed->Mask & rights)) continue;
        // An object entry's SID is not where a plain one's is: not weighed, refused.
        if (!allows) return ERROR_INVALID_ACL;
        const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if (SidText(sid) == L"S-1-3-4") continue;  // OWNER RIGHTS: the owner's, already weighed
        if (!IsTrusted(sid)) return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

// The long form of a path that names something there: 8.3 names written out.
std::wstring LongForm(const std::wstring& path) {
    std::vector<wchar_t> buffer(path.size() + MAX_PATH);
    for (;;) {
        const DWORD length = ::GetLongPathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return path;
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(length + 1);
    }
}

constexpr DWORD MayAddFiles = FILE_ADD_FILE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | DELETE;
constexpr DWORD MayWrite = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER;

// The report of a privileged run: its folder judged first, the file made or
// opened inside it after. 0, with the file in `file`, or why it is refused.
DWORD OpenGuardedReport(const std::wstring& path, HANDLE& file) {
    std::wstring named;
    try {
        named = GetFullPath(path);
    } catch (const RunTimeFailure& failure) {
        return failure.errorCode;
    }
    const std::size_t separator = named.rfind(L'\\');
    if (separator == std::wstring::npos || separator + 1 == named.size()) return ERROR_INVALID_NAME;
    const std::wstring folderPath = named.substr(0, separator == 2 && named[1] == L':' ? 3 : separator);
    const std::wstring name = named.substr(separator + 1);
    HeldHandles held;
    const HANDLE folder = held.Hold(OpenFolderByPath(folderPath, READ_CONTROL, true));
    if (folder == INVALID_HANDLE_VALUE) return ::GetLastError();
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(folder, &information)) return ::GetLastError();
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return ERROR_REPARSE_POINT_ENCOUNTERED_;
    if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;

    // On a share the server keeps the permissions: the share's are the administrator's to set.
    const bool local = IsLocalVolume(named);
    std::wstring folderFinal;
    if (local) {
        // A link on the way that Windows does not mark as one: the folder is
        // not where the path names it. 8.3 names and letter case name the
        // same folder. Windows XP has no final path; there the run changes nothing anyway.
        const DWORD error = FinalPathOf(folder, folderFinal);
        if (error && error != ERROR_CALL_NOT_IMPLEMENTED) return error;
        const std::wstring longForm = WithoutEndSeparator(LongForm(folderPath));
        folderFinal = WithoutEndSeparator(folderFinal);
        if (!error && !SameName(folderFinal, longForm.rfind(L"\\\\?\\", 0) == 0 ? longForm : L"\\\\?\\" + longForm))
            return ERROR_REPARSE_POINT_ENCOUNTERED_;
        if (const DWORD untrusted = WhyUntrusted(folder, MayAddFiles)) return untrusted;
    }

    // A report this run makes is for SYSTEM and administrators alone.
    PSECURITY_DESCRIPTOR ownOnly = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1,
                                                                &ownOnly, nullptr))
        return ::GetLastError();
    bool created = false;
    const DWORD error =
        OpenInside(folder, name, FILE_APPEND_DATA | READ_CONTROL | FILE_READ_ATTRIBUTES,
                   FILE_SHARE_READ | FILE_SHARE_WRITE, FileOpenIf, FileNonDirectoryFile, ownOnly, file, &created);
    ::LocalFree(ownOnly);
    if (error) return error;
    if (created) return ERROR_SUCCESS;
    // One that was there: a plain file of one name, which nobody untrusted may write.
    HandleOwner opened{file};
    if (!::GetFileInformationByHandle(file, &information)) return ::GetLastError();
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return ERROR_REPARSE_POINT_ENCOUNTERED_;
    if (information.nNumberOfLinks > 1) return ERROR_TOO_MANY_LINKS;
    if (local) {
        // Its own name in long form: the path may give its 8.3 name.
        const std::wstring longForm = LongForm(named);
        const std::wstring longName = longForm.substr(longForm.rfind(L'\\') + 1);
        std::wstring finalPath;
        if (!folderFinal.empty() &&
            (FinalPathOf(file, finalPath) || !SameName(finalPath, folderFinal + L"\\" + longName)))
            return ERROR_REPARSE_POINT_ENCOUNTERED_;
        if (const DWORD untrusted = WhyUntrusted(file, MayWrite)) return untrusted;
    }
    file = opened.Release();
    return ERROR_SUCCESS;
}

}  // namespace

void OpenLog(const std::wstring& path, bool guarded) {
    if (guarded) {
        HANDLE file = nullptr;
        if (const DWORD refused = OpenGuardedReport(path, file)) throw RunTimeFailure{L"CreateFileW", path, refused};
        log = file;
        return;
    }
    log = ::CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | NoImpersonation, nullptr);
    if (log == INVALID_HANDLE_VALUE) throw RunTimeFailure{L"CreateFileW", path, ::GetLastError()};
}

bool WriteLogLine(const std::wstring& line) {
    if (log == INVALID_HANDLE_VALUE) return false;
    const std::wstring text = line + L"\r\n";
    const int length = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return false;
    std::vector<char> utf8(static_cast<std::size_t>(needed));
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &utf8[0], needed, nullptr, nullptr);
    DWORD written = 0;
    return ::WriteFile(log, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr) && written == utf8.size();
}

bool IsVolumeMountPoint(const std::wstring& folder) {
    const HandleOwner itself{OpenFolderByPath(folder, 0, true)};
    return itself.handle != INVALID_HANDLE_VALUE && MountsAVolume(itself.handle);
}

GuardedDeletion DeleteFileBelow(const std::wstring& folder, const std::vector<std::wstring>& below,
                                const std::wstring& name, std::wstring& stoppedAt, std::uint32_t& errorCode) {
    HeldHandles held;
    std::wstring path = folder, expected;
    HANDLE parent = nullptr;
    for (std::size_t level = 0; level <= below.size(); ++level) {
        if (level) path += L"\\" + below[level - 1];
        DWORD error = 0;
        const HANDLE opened =
            level ? OpenFolderInside(parent, below[level - 1], held, error) : OpenProfileFolder(path, held, error);
        stoppedAt = path;
        errorCode = error;
        if (IsNotFound(error)) return GuardedDeletion::NotThere;
        if (error == ERROR_REPARSE_POINT_ENCOUNTERED_) return GuardedDeletion::LinkOnTheWay;
        if (error) return GuardedDeletion::NotOpened;
        // Where the file system names it otherwise than its parent and its
        // name (a link Windows does not mark as a reparse point), it is
        // refused all the same. A final path that cannot be had says
        // nothing of whether anything is there.
        std::wstring finalPath;
        errorCode = FinalPathOf(opened, finalPath);
        if (errorCode) return GuardedDeletion::NotOpened;
        finalPath = WithoutEndSeparator(finalPath);
        if (level && !SameName(finalPath, expected + L"\\" + below[level - 1]))
            return errorCode = ERROR_REPARSE_POINT_ENCOUNTERED_, GuardedDeletion::LinkOnTheWay;
        expected = finalPath;
        parent = opened;
    }
    stoppedAt.clear();

    // The link or junction itself, where the name is one; and a folder opens
    // too, to be told apart from a file.
    HANDLE file = nullptr;
    errorCode = OpenInside(parent, name, DELETE | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FileOpen, 0, nullptr, file);
    const HandleOwner owner{file ? file : INVALID_HANDLE_VALUE};
    if (errorCode) {
        if (IsNotFound(errorCode)) return GuardedDeletion::NotThere;
        if (errorCode == ERROR_ACCESS_DENIED && IsPendingDeletion(ForWindows(path + L"\\" + name)))
            return GuardedDeletion::PendingDeletion;
        return GuardedDeletion::NotOpened;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file, &information)) {
        errorCode = ::GetLastError();
        return GuardedDeletion::NotOpened;
    }
    if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return GuardedDeletion::NotAFile;
    std::wstring finalPath;
    errorCode = FinalPathOf(file, finalPath);
    if (errorCode) return GuardedDeletion::NotOpened;
    if (!SameName(finalPath, expected + L"\\" + name)) return GuardedDeletion::LeadsElsewhere;

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
    if (!setInformation(file, FileDispositionInfo, &deleteFile, sizeof(deleteFile))) {
        errorCode = ::GetLastError();
        return GuardedDeletion::NotDeleted;
    }
    return GuardedDeletion::Deleted;
}

}  // namespace platform
