// What the cases over every profile change on the desktop, kept before it
// changes and put back after: the record, what was found, and the local users
// made for the cases, removed only when they are certainly the kit's own.
#include "kit.h"

#include <lm.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>

namespace pilot {
namespace {

using desktop::Handle;
using desktop::Key;

constexpr wchar_t KeptMark[] = L" kept";
constexpr DWORD UnloadAttempts = 10;
constexpr DWORD UnloadPauseMilliseconds = 200;
// Security software and the search indexer open a new profile's files for a
// while after it is made or used.
constexpr DWORD DeleteProfilePauseMilliseconds = 1000;
constexpr NET_API_STATUS UserExists = 2224;    // NERR_UserExists
constexpr NET_API_STATUS UserNotFound = 2221;  // NERR_UserNotFound

std::wstring UserEntry(const wchar_t* tag, const wchar_t* what) { return std::wstring(L"User ") + tag + L" " + what; }

bool EnablePrivileges(bool enable) {
    Handle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Out())) return false;
    bool done = true;
    for (const wchar_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
        TOKEN_PRIVILEGES change{1, {{{0, 0}, static_cast<DWORD>(enable ? SE_PRIVILEGE_ENABLED : 0)}}};
        done = ::LookupPrivilegeValueW(nullptr, name, &change.Privileges[0].Luid) &&
               ::AdjustTokenPrivileges(token.Get(), FALSE, &change, 0, nullptr, nullptr) &&
               ::GetLastError() == ERROR_SUCCESS && done;
    }
    return done;
}

LONG UnloadWithRetries(const std::wstring& name) {
    LONG status = ERROR_SUCCESS;
    for (DWORD attempt = 0; attempt < UnloadAttempts; ++attempt) {
        status = ::RegUnLoadKeyW(HKEY_USERS, name.c_str());
        if (status == ERROR_SUCCESS) break;
        ::Sleep(UnloadPauseMilliseconds);
    }
    return status;
}

std::wstring SidText(PSID sid) {
    desktop::LocalMemory text;
    wchar_t* converted = nullptr;
    if (!::ConvertSidToStringSidW(sid, &converted)) return L"";
    text.Reset(converted);
    return converted;
}

std::wstring ComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = ARRAYSIZE(name);
    return ::GetComputerNameW(name, &length) ? std::wstring(name, length) : L"";
}

// The SID of an account or domain by name, and what kind it is.
std::wstring SidOf(const std::wstring& account, SID_NAME_USE& use) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(sid), domainSize = 256;
    wchar_t domain[256];
    if (!::LookupAccountNameW(nullptr, account.c_str(), sid, &sidSize, domain, &domainSize, &use)) return L"";
    return SidText(sid);
}

// The shortest password the desktop's policy takes (NetUserModalsGet, level 0); 0 where it cannot be read.
DWORD MinimumPasswordLength() {
    using ModalsFunction = NET_API_STATUS(WINAPI*)(LPCWSTR, DWORD, LPBYTE*);
    using FreeFunction = NET_API_STATUS(WINAPI*)(LPVOID);
    const auto modals = SystemProcedure<ModalsFunction>(L"netapi32.dll", "NetUserModalsGet");
    const auto release = SystemProcedure<FreeFunction>(L"netapi32.dll", "NetApiBufferFree");
    LPBYTE buffer = nullptr;
    if (!modals || !release || modals(nullptr, 0, &buffer) != NERR_Success || !buffer) return 0;
    const DWORD minimum = reinterpret_cast<USER_MODALS_INFO_0*>(buffer)->usrmod0_min_passwd_len;
    release(buffer);
    return minimum;
}

// A password no one knows, longer than the desktop's policy asks, with upper
// and lower case, a digit and a symbol for its complexity rule: the account
// lives for one case.
std::wstring RandomPassword() {
    using RandomFunction = BOOLEAN(WINAPI*)(PVOID, ULONG);
    const auto random = SystemProcedure<RandomFunction>(L"advapi32.dll", "SystemFunction036");
    std::vector<BYTE> bytes(std::max<DWORD>(18, MinimumPasswordLength() + 4));
    if (!random || !random(bytes.data(), static_cast<ULONG>(bytes.size()))) return L"";
    std::wstring password = L"Rp-9";
    for (BYTE b : bytes) password += L"abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789"[b % 56];
    return password;
}

}  // namespace

// --- the record ------------------------------------------------------------------

Record::Record(HKEY root, std::wstring key, REGSAM view, const wchar_t* sddl)
    : root_(root), key_(std::move(key)), view_(view), sddl_(sddl) {}

Record::State Record::Look() const {
    Key key;
    const LONG opened = ::RegOpenKeyExW(root_, key_.c_str(), 0, KEY_QUERY_VALUE | view_, key.Out());
    if (opened == ERROR_FILE_NOT_FOUND) return State::Absent;
    if (opened != ERROR_SUCCESS) return State::Unreadable;
    DWORD values = 0;
    if (::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                           nullptr, nullptr) != ERROR_SUCCESS)
        return State::Unreadable;
    return values ? State::Pending : State::Absent;
}

bool Record::Keep(const std::wstring& name, const Reading& found) {
    if (!found.readable) return false;
    StoredValue kept;
    if (Kept(name, kept)) return true;  // the first, as it was before anything changed
    if (sddl_) {
        // Made with its permissions: nobody but administrators may ever write it.
        desktop::LocalMemory descriptor;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl_, SDDL_REVISION_1, descriptor.Out(), nullptr))
            return false;
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.Get(), FALSE};
        Key key;
        if (::RegCreateKeyExW(root_, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view_, &attributes, key.Out(),
                              nullptr) != ERROR_SUCCESS)
            return false;
    }
    // The mark last: a value without it was never finished, and is not kept.
    return WriteValue(root_, key_.c_str(), name.c_str(), found.value, view_) &&
           WriteValue(root_, key_.c_str(), (name + KeptMark).c_str(), TextValue(L"yes"), view_);
}

bool Record::Kept(const std::wstring& name, StoredValue& value) const {
    if (!ReadValue(root_, key_.c_str(), (name + KeptMark).c_str(), view_).present) return false;
    value = ReadValue(root_, key_.c_str(), name.c_str(), view_);
    return true;
}

std::vector<std::wstring> Record::Names() const {
    std::vector<std::wstring> names;
    Key key;
    if (::RegOpenKeyExW(root_, key_.c_str(), 0, KEY_QUERY_VALUE | view_, key.Out()) != ERROR_SUCCESS) return names;
    const std::wstring mark = KeptMark;
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD length = ARRAYSIZE(name);
        if (::RegEnumValueW(key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const std::wstring found(name, length);
        if (found.size() > mark.size() && found.compare(found.size() - mark.size(), mark.size(), mark) == 0)
            names.push_back(found.substr(0, found.size() - mark.size()));
    }
    return names;
}

bool Record::Forget(const std::wstring& name) {
    return WriteValue(root_, key_.c_str(), (name + KeptMark).c_str(), StoredValue(), view_) &&
           WriteValue(root_, key_.c_str(), name.c_str(), StoredValue(), view_);
}

bool Record::Clear() { return DeleteKeyTree(root_, key_.c_str(), view_); }

// --- what was found ------------------------------------------------------------------

Reading ValueReading(HKEY root, const wchar_t* path, const wchar_t* name, REGSAM view) {
    Reading found;
    Key key;
    const LONG opened = ::RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE | view, key.Out());
    if (opened == ERROR_FILE_NOT_FOUND) {
        found.readable = true;
        return found;
    }
    if (opened != ERROR_SUCCESS) return found;
    DWORD size = 0;
    const LONG asked = ::RegQueryValueExW(key.Get(), name, nullptr, &found.value.type, nullptr, &size);
    if (asked == ERROR_FILE_NOT_FOUND) {
        found.readable = true;
        return found;
    }
    if (asked != ERROR_SUCCESS) return found;
    found.value.data.resize(size);
    if (::RegQueryValueExW(key.Get(), name, nullptr, &found.value.type, found.value.data.data(), &size) !=
        ERROR_SUCCESS)
        return Reading();
    found.value.data.resize(size);
    found.value.present = found.readable = true;
    return found;
}

Reading FileReading(const std::wstring& path) {
    Reading found;
    const Handle opened(desktop::Opened(
        ::CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)));
    if (!opened) {
        const DWORD error = ::GetLastError();
        found.readable = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return found;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(opened.Get(), &size) || size.QuadPart > (1 << 24)) return found;
    found.value.data.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    found.value.present = found.readable = ::ReadFile(opened.Get(), found.value.data.data(),
                                                      static_cast<DWORD>(found.value.data.size()), &read, nullptr) &&
                                           read == found.value.data.size();
    found.value.type = REG_BINARY;
    return found;
}

bool PutFile(const std::wstring& path, const StoredValue& file, DWORD attributes) {
    if (!file.present) return !Exists(path) || ::DeleteFileW(ExtendedPath(path).c_str());
    MakeFolders(path.substr(0, path.rfind(L'\\')));
    // A read-only, hidden or system file that is there takes no new content until it is normal.
    ::SetFileAttributesW(ExtendedPath(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    bool written = false;
    {
        const Handle opened(desktop::Opened(::CreateFileW(ExtendedPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
        DWORD count = 0;
        written = opened &&
                  ::WriteFile(opened.Get(), file.data.data(), static_cast<DWORD>(file.data.size()), &count, nullptr) &&
                  count == file.data.size();
    }
    return written && (!attributes || ::SetFileAttributesW(ExtendedPath(path).c_str(), attributes));
}

// --- hives -------------------------------------------------------------------------

bool WithKitHive(const std::wstring& file, const std::function<void(const std::wstring& root)>& use,
                 std::wstring& stuck) {
    EnablePrivileges(true);
    // Security software opens a new profile's files for a moment after it is made.
    LONG status = ERROR_SHARING_VIOLATION;
    for (int attempt = 0; attempt < 20 && status == ERROR_SHARING_VIOLATION; ++attempt) {
        if (attempt) ::Sleep(250);
        status = ::RegLoadKeyW(HKEY_USERS, KitHive, file.c_str());
    }
    const bool loaded = status == ERROR_SUCCESS;
    if (!loaded) stuck = file + L" could not be loaded (error " + std::to_wstring(status) + L")";
    if (loaded) {
        use(KitHive);
        status = UnloadWithRetries(KitHive);
        if (status != ERROR_SUCCESS)
            stuck = std::wstring(L"HKEY_USERS\\") + KitHive + L" stays loaded (error " + std::to_wstring(status) +
                    L"): restart the computer";
    }
    EnablePrivileges(false);
    return loaded;
}

// The program's own lock, taken as the program takes it: a mutex in the
// private namespace that only SYSTEM and administrators reach, or, where
// Windows has none (and under Wine), the Global\ name.
class ProgramLockHeld {
public:
    ProgramLockHeld() {
        using CreateBoundaryFunction = HANDLE(WINAPI*)(LPCWSTR, ULONG);
        using AddSidFunction = BOOL(WINAPI*)(HANDLE*, PSID);
        using CreateNamespaceFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
        using OpenNamespaceFunction = HANDLE(WINAPI*)(LPVOID, LPCWSTR);
        const auto createBoundary = Kernel32<CreateBoundaryFunction>("CreateBoundaryDescriptorW");
        const auto addSid = Kernel32<AddSidFunction>("AddSIDToBoundaryDescriptor");
        const auto createNamespace = Kernel32<CreateNamespaceFunction>("CreatePrivateNamespaceW");
        const auto openNamespace = Kernel32<OpenNamespaceFunction>("OpenPrivateNamespaceW");
        HANDLE boundary = createBoundary && addSid && createNamespace && openNamespace
                              ? createBoundary(ProgramLockBoundary, 0)
                              : nullptr;
        if (!boundary) {
            mutex_.Reset(::CreateMutexW(nullptr, FALSE, ProgramLock));
            return;
        }
        SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
        PSID administrators = nullptr;
        PSECURITY_DESCRIPTOR ownOnly = nullptr;
        if (::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                       0, 0, 0, &administrators) &&
            addSid(&boundary, administrators) &&
            ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                                   &ownOnly, nullptr)) {
            SECURITY_ATTRIBUTES attributes{sizeof(attributes), ownOnly, FALSE};
            for (int attempt = 0; attempt < 10 && !namespace_; ++attempt) {
                namespace_ = createNamespace(&attributes, boundary, ProgramLockBoundary);
                if (!namespace_ && ::GetLastError() == ERROR_ALREADY_EXISTS)
                    namespace_ = openNamespace(boundary, ProgramLockBoundary);
            }
            if (namespace_) mutex_.Reset(::CreateMutexW(&attributes, FALSE, ProgramPrivateLock));
        }
        if (ownOnly) ::LocalFree(ownOnly);
        if (administrators) ::FreeSid(administrators);
    }
    ProgramLockHeld(const ProgramLockHeld&) = delete;
    ProgramLockHeld& operator=(const ProgramLockHeld&) = delete;
    ~ProgramLockHeld() {
        if (owned_) ::ReleaseMutex(mutex_.Get());
        mutex_.Reset();
        using CloseNamespaceFunction = BOOLEAN(WINAPI*)(HANDLE, ULONG);
        const auto closeNamespace = Kernel32<CloseNamespaceFunction>("ClosePrivateNamespace");
        if (namespace_ && closeNamespace) closeNamespace(namespace_, 0);
    }
    DWORD Wait(DWORD milliseconds) {
        const DWORD waited = mutex_ ? ::WaitForSingleObject(mutex_.Get(), milliseconds) : WAIT_FAILED;
        owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
        return waited;
    }

private:
    template <typename Function>
    static Function Kernel32(const char* name) {
        return reinterpret_cast<Function>(
            reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
    }
    Handle mutex_;
    HANDLE namespace_ = nullptr;
    bool owned_ = false;
};

bool ProgramRunInProgress() {
    ProgramLockHeld lock;
    const DWORD waited = lock.Wait(0);
    return waited == WAIT_TIMEOUT;
}

std::wstring UnloadLeftoverHives() {
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = ARRAYSIZE(name);
        if (::RegEnumKeyExW(HKEY_USERS, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const std::wstring hive(name, length);
        if (hive == KitHive || hive.rfind(ProgramHivePrefix, 0) == 0) names.push_back(hive);
    }
    if (names.empty()) return L"";
    // A run of the program in progress holds its own hives: only a program the
    // kit ended leaves them, and its lock is then free.
    ProgramLockHeld lock;
    const DWORD waited = lock.Wait(30000);
    std::wstring stays;
    EnablePrivileges(true);
    for (const std::wstring& name : names) {
        if (name != KitHive && waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) continue;
        const LONG status = UnloadWithRetries(name);
        if (status != ERROR_SUCCESS)
            stays +=
                (stays.empty() ? L"" : L", ") + (L"HKEY_USERS\\" + name) + L" (error " + std::to_wstring(status) + L")";
    }
    EnablePrivileges(false);
    return stays;
}

// --- the local users made for the cases ---------------------------------------------------

StagedUser MakeUser(Record& record, const wchar_t* tag, const AccountOperations& accounts) {
    StagedUser user;
    user.name = std::wstring(L"rpilot") + tag + std::to_wstring(::GetCurrentProcessId() % 100000);
    // Named in the record before it is made.
    if (!record.Keep(UserEntry(tag, L"name"), {true, TextValue(user.name)})) {
        user.failure = L"the record of what the case changes could not be written";
        return user;
    }
    const NET_API_STATUS added = accounts.add(user.name, AccountMark);
    if (added != NERR_Success) {
        // Nothing was made: an account of that name, if there is one, is another's.
        record.Forget(UserEntry(tag, L"name"));
        user.failure = added == UserExists ? L"an account named " + user.name + L" exists already, and is left alone"
                                           : L"NetUserAdd failed with " + std::to_wstring(added);
        user.name.clear();
        return user;
    }
    user.sid = accounts.localSidOf(user.name);
    if (user.sid.empty() || !record.Keep(UserEntry(tag, L"SID"), {true, TextValue(user.sid)})) {
        user.failure = L"the new user's SID could not be read or recorded";
        return user;
    }
    wchar_t hresult[16];
    const HRESULT created = accounts.createProfile(user.sid, user.name, user.profile);
    if (FAILED(created)) {
        std::swprintf(hresult, ARRAYSIZE(hresult), L"0x%08lX", static_cast<unsigned long>(created));
        user.failure = std::wstring(L"CreateProfile failed with ") + hresult;
        return user;
    }
    if (!record.Keep(UserEntry(tag, L"profile"), {true, TextValue(user.profile)}))
        user.failure = L"the new user's profile folder could not be recorded";
    return user;
}

bool RemoveUser(Record& record, const wchar_t* tag, const AccountOperations& accounts, std::wstring& why) {
    StoredValue kept;
    if (!record.Kept(UserEntry(tag, L"name"), kept)) return true;
    const std::wstring recordedName = TextOf(kept);
    std::wstring sid = record.Kept(UserEntry(tag, L"SID"), kept) ? TextOf(kept) : L"";
    // Ended between NetUserAdd and its SID: the computer's own account of that
    // name, never a domain's.
    if (sid.empty()) sid = accounts.localSidOf(recordedName);
    std::wstring name;
    const AccountOperations::Found found =
        sid.empty() ? AccountOperations::Found::Gone : accounts.localUserOf(sid, name);
    if (sid.empty())
        why = L"the account " + recordedName + L" could not be looked up: if it is there, it is left as it is";
    const bool ours = found == AccountOperations::Found::LocalUser && accounts.commentOf(name) == AccountMark;
    if (found == AccountOperations::Found::NotLocal || (found == AccountOperations::Found::LocalUser && !ours)) {
        why = L"the recorded account " + (sid.empty() ? recordedName : sid) + L" is not one the kit made: left alone";
    } else if (!sid.empty()) {
        // The profile first: without its user's SID nothing would find it again.
        bool gone = false;
        for (DWORD attempt = 0; attempt < DeleteProfileAttempts && !gone; ++attempt) {
            gone = accounts.deleteProfile(sid) || accounts.profileGone(sid);
            if (!gone && attempt + 1 < DeleteProfileAttempts) accounts.sleep(DeleteProfilePauseMilliseconds);
        }
        if (!gone) {
            why = L"the profile of " + sid + L" is still in use: run the kit with --restore later";
            return false;
        }
        // DeleteProfileW may leave files it could not delete (one held open) in the folder.
        StoredValue folder;
        if (record.Kept(UserEntry(tag, L"profile"), folder) && !TextOf(folder).empty() && Exists(TextOf(folder)))
            why = L"the profile folder " + TextOf(folder) + L" is left behind: delete it by hand";
        if (ours) {
            const NET_API_STATUS deleted = accounts.deleteUser(name);
            if (deleted != NERR_Success && deleted != UserNotFound) {
                why = L"NetUserDel failed with " + std::to_wstring(deleted) + L" for " + name;
                return false;
            }
        }
    }
    for (const wchar_t* what : {L"profile", L"SID", L"name"}) record.Forget(UserEntry(tag, what));
    return true;
}

AccountOperations WindowsAccounts() {
    AccountOperations accounts;
    accounts.add = [](const std::wstring& name, const std::wstring& comment) -> NET_API_STATUS {
        using NetUserAddFunction = NET_API_STATUS(WINAPI*)(LPCWSTR, DWORD, LPBYTE, LPDWORD);
        const auto addUser = SystemProcedure<NetUserAddFunction>(L"netapi32.dll", "NetUserAdd");
        std::wstring password = RandomPassword(), user = name, remark = comment;
        if (!addUser || password.empty()) return ERROR_CALL_NOT_IMPLEMENTED;
        USER_INFO_1 info{};
        info.usri1_name = &user[0];
        info.usri1_password = &password[0];
        info.usri1_priv = USER_PRIV_USER;
        info.usri1_comment = &remark[0];
        info.usri1_flags = UF_SCRIPT | UF_DONT_EXPIRE_PASSWD;
        return addUser(nullptr, 1, reinterpret_cast<LPBYTE>(&info), nullptr);
    };
    accounts.localSidOf = [](const std::wstring& name) {
        // Qualified with the computer's name: a domain account of the same name is never found.
        SID_NAME_USE use;
        const std::wstring sid = SidOf(ComputerName() + L"\\" + name, use);
        return use == SidTypeUser ? sid : L"";
    };
    accounts.localUserOf = [](const std::wstring& sid, std::wstring& name) {
        SID_NAME_USE use;
        const std::wstring domain = SidOf(ComputerName(), use);
        if (domain.empty() || use != SidTypeDomain || sid.rfind(domain + L"-", 0) != 0)
            return AccountOperations::Found::NotLocal;
        desktop::LocalMemory binary;
        PSID converted = nullptr;
        if (!::ConvertStringSidToSidW(sid.c_str(), &converted)) return AccountOperations::Found::NotLocal;
        binary.Reset(converted);
        wchar_t user[256], userDomain[256];
        DWORD userSize = ARRAYSIZE(user), domainSize = ARRAYSIZE(userDomain);
        if (!::LookupAccountSidW(nullptr, converted, user, &userSize, userDomain, &domainSize, &use))
            return ::GetLastError() == ERROR_NONE_MAPPED ? AccountOperations::Found::Gone
                                                         : AccountOperations::Found::NotLocal;
        name = user;
        return use == SidTypeUser ? AccountOperations::Found::LocalUser : AccountOperations::Found::NotLocal;
    };
    accounts.commentOf = [](const std::wstring& name) {
        using NetUserGetInfoFunction = NET_API_STATUS(WINAPI*)(LPCWSTR, LPCWSTR, DWORD, LPBYTE*);
        using NetApiBufferFreeFunction = NET_API_STATUS(WINAPI*)(LPVOID);
        const auto getInfo = SystemProcedure<NetUserGetInfoFunction>(L"netapi32.dll", "NetUserGetInfo");
        const auto freeBuffer = SystemProcedure<NetApiBufferFreeFunction>(L"netapi32.dll", "NetApiBufferFree");
        LPBYTE buffer = nullptr;
        if (!getInfo || !freeBuffer || getInfo(nullptr, name.c_str(), 1, &buffer) != NERR_Success || !buffer)
            return std::wstring();
        const wchar_t* comment = reinterpret_cast<USER_INFO_1*>(buffer)->usri1_comment;
        const std::wstring text = comment ? comment : L"";
        freeBuffer(buffer);
        return text;
    };
    accounts.createProfile = [](const std::wstring& sid, const std::wstring& name, std::wstring& profile) -> HRESULT {
        using CreateProfileFunction = HRESULT(WINAPI*)(LPCWSTR, LPCWSTR, LPWSTR, DWORD);
        const auto createProfile = SystemProcedure<CreateProfileFunction>(L"userenv.dll", "CreateProfile");
        if (!createProfile) return HRESULT_FROM_WIN32(ERROR_CALL_NOT_IMPLEMENTED);
        wchar_t folder[MAX_PATH] = {};
        const HRESULT created = createProfile(sid.c_str(), name.c_str(), folder, MAX_PATH);
        profile = folder;
        return created;
    };
    accounts.deleteProfile = [](const std::wstring& sid) {
        using DeleteProfileFunction = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, LPCWSTR);
        const auto deleteProfile = SystemProcedure<DeleteProfileFunction>(L"userenv.dll", "DeleteProfileW");
        return deleteProfile && deleteProfile(sid.c_str(), nullptr, nullptr);
    };
    accounts.profileGone = [](const std::wstring& sid) {
        return !KeyExists(HKEY_LOCAL_MACHINE, (std::wstring(ProfileListKey) + L"\\" + sid).c_str(), Wow64Key);
    };
    accounts.deleteUser = [](const std::wstring& name) -> NET_API_STATUS {
        using NetUserDelFunction = NET_API_STATUS(WINAPI*)(LPCWSTR, LPCWSTR);
        const auto deleteUser = SystemProcedure<NetUserDelFunction>(L"netapi32.dll", "NetUserDel");
        return deleteUser ? deleteUser(nullptr, name.c_str()) : ERROR_CALL_NOT_IMPLEMENTED;
    };
    accounts.sleep = [](DWORD milliseconds) { ::Sleep(milliseconds); };
    return accounts;
}

}  // namespace pilot
