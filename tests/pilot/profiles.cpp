// The run over every profile (/AllProfiles), on a desktop where the kit runs
// elevated: a local user made for the case, with a real profile, and the
// Default profile, each checked in its Startup folder and its own hive. What
// the cases change beyond the kit's account (the user, the Default profile's
// shortcut and start page, the detection marker, the account's own Startup
// shortcut, which the run removes like any other) is named in the kept copy
// before it is changed, and put back after the case or at the next start.
#include "kit.h"

#include <lm.h>
#include <sddl.h>
#include <winioctl.h>

#include <cstring>
#include <cwchar>
#include <map>

namespace pilot {
namespace {

using desktop::Handle;
using desktop::Key;

constexpr wchar_t ProfileListKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr wchar_t MarkerKey[] = L"SOFTWARE\\Desktop Remediation";
constexpr wchar_t StartPage[] = L"Start Page";
constexpr wchar_t StartupBelowProfile[] = L"\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup";
constexpr wchar_t ShortcutName[] = L"\\Internet Explorer.lnk";
constexpr wchar_t KitHive[] = L"Desktop Remediation Pilot";
constexpr DWORD AllProfilesPatience = 300000;  // every profile of a desktop, each hive loaded in turn
constexpr REGSAM Wow64Key = 0x0100;            // KEY_WOW64_64KEY, where the program writes the marker
// Below the kit's kept copy of the account, and removed with it.
constexpr wchar_t KeptProfilesKey[] = L"Software\\Desktop Remediation Pilot\\Profiles";
constexpr const wchar_t* UserTags[] = {L"a", L"b"};

// Each thing as found, under its name, with "<name> kept" beside it: written
// before the thing changes, so that a copy without the mark holds nothing to
// put back.
void Keep(const std::wstring& name, const StoredValue& value) {
    WriteValue(HKEY_CURRENT_USER, KeptProfilesKey, name.c_str(), value);
    WriteValue(HKEY_CURRENT_USER, KeptProfilesKey, (name + L" kept").c_str(), TextValue(L"yes"));
}

bool Kept(const std::wstring& name, StoredValue& value) {
    if (!ReadValue(HKEY_CURRENT_USER, KeptProfilesKey, (name + L" kept").c_str()).present) return false;
    value = ReadValue(HKEY_CURRENT_USER, KeptProfilesKey, name.c_str());
    return true;
}

// What came with Vista, or lives in a DLL the kit otherwise does not load:
// looked up at run time, from the system folder.
template <typename Function>
Function SystemProcedure(const wchar_t* dll, const char* name) {
    wchar_t folder[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (!length || length >= MAX_PATH) return nullptr;
    const HMODULE module = ::LoadLibraryW((std::wstring(folder) + L"\\" + dll).c_str());
    return module ? reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name))) : nullptr;
}

bool EnableHivePrivileges(bool enable) {
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

// A hive file nobody has loaded, loaded under the kit's own name for one read
// or write. A signed-in user's hive is not loadable: false.
template <typename Use>
bool WithHive(const std::wstring& file, Use use) {
    EnableHivePrivileges(true);
    const bool loaded = ::RegLoadKeyW(HKEY_USERS, KitHive, file.c_str()) == ERROR_SUCCESS;
    if (loaded) {
        use(std::wstring(KitHive) + L"\\Software\\Microsoft\\Internet Explorer\\Main");
        ::RegUnLoadKeyW(HKEY_USERS, KitHive);
    }
    EnableHivePrivileges(false);
    return loaded;
}

StoredValue HiveStartPage(const std::wstring& profile) {
    StoredValue value;
    WithHive(profile + L"\\NTUSER.DAT",
             [&](const std::wstring& key) { value = ReadValue(HKEY_USERS, key.c_str(), StartPage); });
    return value;
}

bool PutHiveStartPage(const std::wstring& profile, const StoredValue& value) {
    bool written = false;
    return WithHive(
               profile + L"\\NTUSER.DAT",
               [&](const std::wstring& key) { written = WriteValue(HKEY_USERS, key.c_str(), StartPage, value); }) &&
           written;
}

StoredValue Marker() { return ReadValue(HKEY_LOCAL_MACHINE, MarkerKey, StartPage, Wow64Key); }

bool PutMarker(const StoredValue& value) {
    return WriteValue(HKEY_LOCAL_MACHINE, MarkerKey, StartPage, value, Wow64Key);
}

// A file as found: its bytes, or not there (present false).
StoredValue FileAsFound(const std::wstring& path) {
    StoredValue file;
    const Handle opened(desktop::Opened(
        ::CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)));
    if (!opened) return file;
    file.data.resize(::GetFileSize(opened.Get(), nullptr));
    DWORD read = 0;
    file.present = ::ReadFile(opened.Get(), file.data.data(), static_cast<DWORD>(file.data.size()), &read, nullptr) &&
                   read == file.data.size();
    file.type = REG_BINARY;
    return file;
}

bool PutFile(const std::wstring& path, const StoredValue& file) {
    if (!file.present) return !Exists(path) || ::DeleteFileW(ExtendedPath(path).c_str());
    MakeFolders(path.substr(0, path.rfind(L'\\')));
    const Handle opened(desktop::Opened(::CreateFileW(ExtendedPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
    DWORD written = 0;
    return opened &&
           ::WriteFile(opened.Get(), file.data.data(), static_cast<DWORD>(file.data.size()), &written, nullptr) &&
           written == file.data.size();
}

void KeepFile(const std::wstring& name, const std::wstring& path) {
    Keep(name + L" path", TextValue(path));
    Keep(name, FileAsFound(path));
}

bool KeptFile(const std::wstring& name, std::wstring& path, StoredValue& file) {
    StoredValue kept;
    if (!Kept(name + L" path", kept) || !Kept(name, file)) return false;
    path = TextOf(kept);
    return !path.empty();
}

std::wstring DefaultProfileFolder() {
    const std::wstring setting = TextOf(ReadValue(HKEY_LOCAL_MACHINE, ProfileListKey, L"Default", Wow64Key));
    wchar_t expanded[MAX_PATH];
    const DWORD length = ::ExpandEnvironmentStringsW(setting.c_str(), expanded, MAX_PATH);
    return setting.empty() || !length || length > MAX_PATH ? L"" : expanded;
}

std::wstring OwnShortcut() {
    wchar_t appData[MAX_PATH];
    const DWORD length = ::GetEnvironmentVariableW(L"APPDATA", appData, MAX_PATH);
    return length && length < MAX_PATH
               ? std::wstring(appData) + L"\\Microsoft\\Windows\\Start Menu\\Programs\\Startup" + ShortcutName
               : L"";
}

std::wstring SidOf(const std::wstring& account) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(sid), domainSize = 256;
    wchar_t domain[256];
    SID_NAME_USE use;
    if (!::LookupAccountNameW(nullptr, account.c_str(), sid, &sidSize, domain, &domainSize, &use)) return L"";
    desktop::LocalMemory text;
    wchar_t* converted = nullptr;
    if (!::ConvertSidToStringSidW(sid, &converted)) return L"";
    text.Reset(converted);
    return converted;
}

// --- the staged users ------------------------------------------------------------

struct StagedUser {
    std::wstring name, sid, profile;
    std::wstring failure;  // what could not be made, and why
};

void RemoveUser(const std::wstring& name) {
    using DeleteProfileFunction = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, LPCWSTR);
    using NetUserDelFunction = NET_API_STATUS(WINAPI*)(LPCWSTR, LPCWSTR);
    const std::wstring sid = SidOf(name);
    const auto deleteProfile = SystemProcedure<DeleteProfileFunction>(L"userenv.dll", "DeleteProfileW");
    if (!sid.empty() && deleteProfile) deleteProfile(sid.c_str(), nullptr, nullptr);
    const auto deleteUser = SystemProcedure<NetUserDelFunction>(L"netapi32.dll", "NetUserDel");
    if (deleteUser) deleteUser(nullptr, name.c_str());
}

// A password no one knows, strong enough for any policy: the account lives for one case.
std::wstring RandomPassword() {
    using RandomFunction = BOOLEAN(WINAPI*)(PVOID, ULONG);
    const auto random = SystemProcedure<RandomFunction>(L"advapi32.dll", "SystemFunction036");
    BYTE bytes[18] = {};
    if (!random || !random(bytes, sizeof(bytes))) return L"";
    std::wstring password = L"Rp-9";
    for (BYTE b : bytes) password += L"abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789"[b % 56];
    return password;
}

StagedUser MakeUser(const wchar_t* tag) {
    using NetUserAddFunction = NET_API_STATUS(WINAPI*)(LPCWSTR, DWORD, LPBYTE, LPDWORD);
    using CreateProfileFunction = HRESULT(WINAPI*)(LPCWSTR, LPCWSTR, LPWSTR, DWORD);
    StagedUser user;
    user.name = std::wstring(L"rpilot") + tag + std::to_wstring(::GetCurrentProcessId() % 100000);
    // Named in the kept copy before it is made.
    Keep(std::wstring(L"Staged user ") + tag, TextValue(user.name));
    const auto addUser = SystemProcedure<NetUserAddFunction>(L"netapi32.dll", "NetUserAdd");
    const auto createProfile = SystemProcedure<CreateProfileFunction>(L"userenv.dll", "CreateProfile");
    std::wstring password = RandomPassword();
    if (!addUser || !createProfile || password.empty()) {
        user.failure = L"NetUserAdd, CreateProfile or a random password is not to be had here";
        return user;
    }
    USER_INFO_1 info{};
    info.usri1_name = &user.name[0];
    info.usri1_password = &password[0];
    info.usri1_priv = USER_PRIV_USER;
    info.usri1_flags = UF_SCRIPT | UF_DONT_EXPIRE_PASSWD;
    const NET_API_STATUS added = addUser(nullptr, 1, reinterpret_cast<LPBYTE>(&info), nullptr);
    if (added != NERR_Success) {
        user.failure = L"NetUserAdd failed with " + std::to_wstring(added);
        return user;
    }
    user.sid = SidOf(user.name);
    wchar_t profile[MAX_PATH] = {};
    const HRESULT created =
        user.sid.empty() ? E_FAIL : createProfile(user.sid.c_str(), user.name.c_str(), profile, MAX_PATH);
    if (FAILED(created)) {
        user.failure = L"CreateProfile failed with 0x" + std::to_wstring(static_cast<unsigned long>(created));
        return user;
    }
    user.profile = profile;
    return user;
}

// --- the report --------------------------------------------------------------------

// Each line's who (a SID, "Default" or "-") and what, as the program appended them.
std::map<std::wstring, std::wstring> ReadReport(const std::wstring& path) {
    const StoredValue file = FileAsFound(path);
    std::map<std::wstring, std::wstring> said;
    if (!file.present) return said;
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(file.data.data()),
                                             static_cast<int>(file.data.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(file.data.data()),
                          static_cast<int>(file.data.size()), &text[0], length);
    for (std::size_t start = 0, end; start < text.size(); start = end + 2) {
        end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = text.substr(start, end - start);
        const std::size_t who = line.find(L'\t'), folder = line.find(L'\t', who + 1),
                          what = line.find(L'\t', folder + 1);
        if (what != std::wstring::npos) said[line.substr(who + 1, folder - who - 1)] = line.substr(what + 1);
    }
    return said;
}

// Where a case over every profile cannot run, why.
bool CannotRun(Check& check) {
    if (Where().underWine) {
        check.Skip(
            L"Wine has no accounts to make (every process runs as one user): the end-to-end suite stages "
            L"profiles in its prefix instead");
        return true;
    }
    if (!Where().elevated) {
        check.Skip(L"it makes a local user and runs /AllProfiles, which need an elevated administrator");
        return true;
    }
    return false;
}

struct AllProfilesRun {
    RunResult run;
    std::map<std::wstring, std::wstring> said;
    StoredValue marker;
};

AllProfilesRun RunOverEveryProfile(const std::wstring& name) {
    // The account's own shortcut goes with every other profile's: it is put back.
    const std::wstring own = OwnShortcut();
    if (!own.empty()) KeepFile(L"Own shortcut", own);
    Keep(L"Marker", Marker());
    const std::wstring log = Where().scratch + L"\\" + name + L".log";
    RunOptions options;
    options.arguments = L"/AllProfiles /Log \"" + log + L"\"";
    options.timeoutMilliseconds = AllProfilesPatience;
    AllProfilesRun result;
    result.run = RunProgram(options);
    result.said = ReadReport(log);
    result.marker = Marker();
    return result;
}

void ExpectStatusAndMarker(Check& check, const AllProfilesRun& all) {
    if (all.run.startError || all.run.timedOut) return check.Expect(false, L"ended with " + Describe(all.run));
    check.Expect(all.run.boxes.empty(), L"showed a box: " + Describe(all.run));
    const auto summary = all.said.find(L"-");
    check.Expect(summary != all.said.end() && summary->second == L"exit status " + std::to_wstring(all.run.status),
                 L"the report's last line does not give the status " + std::to_wstring(all.run.status));
    // Other profiles of this desktop (roaming, mandatory, ...) may keep the status from 0.
    check.Expect((all.run.status == 0) == (TextOf(all.marker) == Where().startPageUrl),
                 L"the detection marker does not follow status " + std::to_wstring(all.run.status));
}

std::wstring SaidOf(const AllProfilesRun& all, const std::wstring& who) {
    const auto line = all.said.find(who);
    return line == all.said.end() ? L"(no line in the report)" : line->second;
}

void EveryProfileAndTheDefaultOne(const Case&, Check& check) {
    if (CannotRun(check)) return;
    const std::wstring defaultFolder = DefaultProfileFolder();
    if (defaultFolder.empty()) return check.Expect(false, L"ProfileList names no Default profile");
    const std::wstring defaultShortcut = defaultFolder + StartupBelowProfile + ShortcutName;
    Keep(L"Default Start Page", HiveStartPage(defaultFolder));
    KeepFile(L"Default shortcut", defaultShortcut);
    const StagedUser user = MakeUser(L"a");
    if (!user.failure.empty()) {
        check.Expect(false, L"no local user could be made for the case: " + user.failure);
        PutBackProfiles();
        return;
    }
    const std::wstring shortcut = user.profile + StartupBelowProfile + ShortcutName;
    check.Expect(PlantShortcut(shortcut) && PlantShortcut(defaultShortcut), L"the shortcuts could not be planted");

    const AllProfilesRun all = RunOverEveryProfile(L"every-profile");

    ExpectStatusAndMarker(check, all);
    const StoredValue written = TextValue(Where().startPageUrl);
    check.Expect(!Exists(shortcut), L"the user's shortcut is still there: " + SaidOf(all, user.sid));
    check.Expect(HiveStartPage(user.profile).data == written.data,
                 L"the user's hive holds no REG_SZ start page: " + SaidOf(all, user.sid));
    check.Expect(SaidOf(all, user.sid) == L"shortcut removed; start page written",
                 L"the report says of the user: " + SaidOf(all, user.sid));
    check.Expect(!Exists(defaultShortcut),
                 L"the Default profile's shortcut is still there: " + SaidOf(all, L"Default"));
    check.Expect(HiveStartPage(defaultFolder).data == written.data,
                 L"the Default profile's hive holds no REG_SZ start page: " + SaidOf(all, L"Default"));
    check.Expect(PutBackProfiles(), L"the Default profile, the marker or the user could not be put back");
}

// As a user may: the Startup folder a junction to a folder the user may not
// write, holding a file of the shortcut's name. The run must not follow it.
bool MakeJunction(const std::wstring& link, const std::wstring& target) {
    if (!::CreateDirectoryW(link.c_str(), nullptr)) return false;
    const Handle folder(
        desktop::Opened(::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
    if (!folder) return false;
    const std::wstring substitute = L"\\??\\" + target, print = target;
    // REPARSE_DATA_BUFFER's mount-point form: tag, sizes, offsets, then both names, each ending in a zero.
    std::vector<BYTE> buffer(8 + 8 + (substitute.size() + print.size() + 2) * sizeof(wchar_t));
    const auto put16 = [&](std::size_t at, std::size_t value) {
        const WORD word = static_cast<WORD>(value);
        std::memcpy(&buffer[at], &word, 2);
    };
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(&buffer[0], &tag, 4);
    put16(4, buffer.size() - 8);
    put16(8, 0);
    put16(10, substitute.size() * sizeof(wchar_t));
    put16(12, (substitute.size() + 1) * sizeof(wchar_t));
    put16(14, print.size() * sizeof(wchar_t));
    std::memcpy(&buffer[16], substitute.c_str(), (substitute.size() + 1) * sizeof(wchar_t));
    std::memcpy(&buffer[16 + (substitute.size() + 1) * sizeof(wchar_t)], print.c_str(),
                (print.size() + 1) * sizeof(wchar_t));
    DWORD returned = 0;
    return ::DeviceIoControl(folder.Get(), FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                             nullptr, 0, &returned, nullptr) != 0;
}

void AJunctionInAUsersStartupFolderIsNotFollowed(const Case&, Check& check) {
    if (CannotRun(check)) return;
    const StagedUser user = MakeUser(L"b");
    if (!user.failure.empty()) {
        check.Expect(false, L"no local user could be made for the case: " + user.failure);
        PutBackProfiles();
        return;
    }
    const std::wstring guarded = Where().scratch + L"\\guarded";
    const std::wstring canary = guarded + ShortcutName;
    const std::wstring startup = user.profile + StartupBelowProfile;
    RemoveTree(startup);
    MakeFolders(startup.substr(0, startup.rfind(L'\\')));
    check.Expect(PlantShortcut(canary) && SetSecurity(guarded, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)") &&
                     MakeJunction(startup, guarded),
                 L"the junction to a guarded folder could not be made");

    const AllProfilesRun all = RunOverEveryProfile(L"junction");

    ExpectStatusAndMarker(check, all);
    check.Expect(Exists(canary), L"the file the junction led to was deleted");
    check.Expect(all.run.status != 0 && SaidOf(all, user.sid).find(L"leads out of the profile") != std::wstring::npos,
                 L"the report says of the user: " + SaidOf(all, user.sid));
    // The junction itself, not what it leads to.
    ::RemoveDirectoryW(startup.c_str());
    check.Expect(PutBackProfiles(), L"the marker or the user could not be put back");
}

}  // namespace

bool PutBackProfiles() {
    bool done = true;
    StoredValue kept;
    for (const wchar_t* tag : UserTags)
        if (Kept(std::wstring(L"Staged user ") + tag, kept) && !TextOf(kept).empty()) RemoveUser(TextOf(kept));
    std::wstring path;
    if (KeptFile(L"Own shortcut", path, kept)) done = PutFile(path, kept) && done;
    if (KeptFile(L"Default shortcut", path, kept)) {
        done = PutFile(path, kept) && done;
        const std::size_t below = path.size() - std::wcslen(StartupBelowProfile) - std::wcslen(ShortcutName);
        if (Kept(L"Default Start Page", kept)) done = PutHiveStartPage(path.substr(0, below), kept) && done;
    }
    if (Kept(L"Marker", kept)) done = PutMarker(kept) && done;
    return done && DeleteKeyTree(HKEY_CURRENT_USER, KeptProfilesKey);
}

void AddProfileCases(std::vector<Case>& cases) {
    cases.push_back({L"every profile and the Default profile are repaired", EveryProfileAndTheDefaultOne, nullptr,
                     NeedsSupportedVersion});
    cases.push_back({L"over every profile a junction in a Startup folder is not followed",
                     AJunctionInAUsersStartupFolderIsNotFollowed, nullptr, NeedsSupportedVersion});
}

}  // namespace pilot
