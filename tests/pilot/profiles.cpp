// The run over every profile (/AllProfiles), on a desktop where the kit runs
// elevated: a local user made for the case, with a real profile, and the
// Default profile, each checked in its Startup folder and its own hive. What
// the cases change beyond the kit's account (the user, the Default profile's
// shortcut and start page, the detection marker, the account's own Startup
// shortcut, which the run removes like any other) is recorded, as found,
// before it changes, in a key only administrators may write, and put back
// after the case or at the next start. The desktop may have run the program
// before: the marker and the start pages are set to values of the kit's own
// first, so that only this run can have written the address.
#include "kit.h"

#include <sddl.h>

#include <lm.h>
#include <winioctl.h>

#include <cstring>
#include <cwchar>
#include <map>

namespace pilot {
namespace {

using desktop::Handle;

constexpr wchar_t MarkerKey[] = L"SOFTWARE\\Desktop Remediation";
constexpr wchar_t StartPage[] = L"Start Page";
constexpr wchar_t MainBelowHive[] = L"\\Software\\Microsoft\\Internet Explorer\\Main";
constexpr wchar_t StartupBelowProfile[] = L"\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup";
constexpr wchar_t ShortcutName[] = L"\\Internet Explorer.lnk";
constexpr DWORD AllProfilesPatience = 300000;  // every profile of a desktop, each hive loaded in turn
// One record for the desktop, whichever administrator runs the kit.
constexpr wchar_t RecordKey[] = L"SOFTWARE\\Desktop Remediation Pilot";
constexpr wchar_t AdministratorsOnly[] = L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";
constexpr wchar_t KitLock[] = L"Global\\Desktop Remediation Pilot";
constexpr const wchar_t* UserTags[] = {L"a", L"b", L"c"};
// What the marker and the start pages hold before the run, which only the
// program can have turned into the address.
constexpr wchar_t BeforeTheRun[] = L"http://remediate-pilot.invalid/before-the-run";

Record ProfilesRecord() { return Record(HKEY_LOCAL_MACHINE, RecordKey, Wow64Key, AdministratorsOnly); }

Reading HiveStartPage(const std::wstring& profile, std::wstring& stuck) {
    Reading found;
    WithKitHive(
        profile + L"\\NTUSER.DAT",
        [&](const std::wstring& root) { found = ValueReading(HKEY_USERS, (root + MainBelowHive).c_str(), StartPage); },
        stuck);
    return found;
}

bool PutHiveStartPage(const std::wstring& profile, const StoredValue& value, std::wstring& stuck) {
    bool written = false;
    return WithKitHive(
               profile + L"\\NTUSER.DAT",
               [&](const std::wstring& root) {
                   written = WriteValue(HKEY_USERS, (root + MainBelowHive).c_str(), StartPage, value);
               },
               stuck) &&
           written;
}

Reading Marker() { return ValueReading(HKEY_LOCAL_MACHINE, MarkerKey, StartPage, Wow64Key); }

bool PutMarker(const StoredValue& value) {
    return WriteValue(HKEY_LOCAL_MACHINE, MarkerKey, StartPage, value, Wow64Key);
}

// A file kept with its path and its attributes.
bool KeepFile(Record& record, const std::wstring& name, const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(ExtendedPath(path).c_str());
    StoredValue kept{true, REG_DWORD, std::vector<BYTE>(sizeof(DWORD))};
    std::memcpy(kept.data.data(), &attributes, sizeof(attributes));
    return record.Keep(name + L" path", {true, TextValue(path)}) &&
           (attributes == INVALID_FILE_ATTRIBUTES || record.Keep(name + L" attributes", {true, kept})) &&
           record.Keep(name, FileReading(path));
}

bool KeptFile(const Record& record, const std::wstring& name, std::wstring& path, StoredValue& file,
              DWORD& attributes) {
    StoredValue kept;
    if (!record.Kept(name + L" path", kept) || !record.Kept(name, file)) return false;
    path = TextOf(kept);
    attributes = 0;
    if (record.Kept(name + L" attributes", kept) && kept.data.size() == sizeof(DWORD))
        std::memcpy(&attributes, kept.data.data(), sizeof(attributes));
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

bool SameStored(const StoredValue& a, const StoredValue& b) {
    return a.present == b.present && (!a.present || (a.type == b.type && a.data == b.data));
}

std::wstring Shown(const Reading& found) {
    if (!found.readable) return L"(could not be read)";
    if (!found.value.present) return L"(none)";
    return found.value.type == REG_SZ ? L"REG_SZ " + TextOf(found.value)
                                      : L"type " + std::to_wstring(found.value.type) + L" " + TextOf(found.value);
}

// What the kit, or the program in one of its cases, leaves in a start page or
// the marker: the kit's own value, or the address.
std::vector<StoredValue> KitsValues() { return {TextValue(BeforeTheRun), TextValue(Where().startPageUrl)}; }
// ... and in a shortcut: the one it plants.
std::vector<StoredValue> KitsShortcut() {
    static const char planted[] = "L\0\0\0 a shortcut";
    return {{true, REG_BINARY, std::vector<BYTE>(planted, planted + sizeof(planted) - 1)}};
}

// Puts `kept` back only where what is there now is still what the kit or the
// program in its cases left (one of `left`), nothing, or `kept` itself;
// anything else was set since, by a person or a program, and is left as it
// is, said in `said`. True when nothing of it is left to put back.
bool PutBackIfStillTheKits(const std::wstring& what, const Reading& now, const StoredValue& kept,
                           const std::vector<StoredValue>& left, const std::function<bool()>& put, std::wstring& said) {
    if (!now.readable) {
        said += (said.empty() ? L"" : L"; ") + what + L" could not be read, so it was not put back";
        return false;
    }
    bool kits = !now.value.present || SameStored(now.value, kept);
    for (const StoredValue& value : left) kits = kits || SameStored(now.value, value);
    if (!kits) {
        said += (said.empty() ? L"" : L"; ") + what + L" holds " + Shown(now) + L", set since: left as it is";
        return true;
    }
    if (put()) return true;
    said += (said.empty() ? L"" : L"; ") + what + L" could not be put back";
    return false;
}

// The Default profile's shortcut and start page as found; the first put-back
// comes straight after the run, the Default profile being what every new
// user's profile is copied from.
bool PutBackDefault(const Record& record, std::wstring& said) {
    bool done = true;
    std::wstring path;
    StoredValue kept;
    DWORD attributes = 0;
    if (KeptFile(record, L"Default shortcut", path, kept, attributes))
        done =
            PutBackIfStillTheKits(
                path, FileReading(path), kept, KitsShortcut(), [&] { return PutFile(path, kept, attributes); }, said) &&
            done;
    StoredValue folder;
    if (record.Kept(L"Default folder", folder) && record.Kept(L"Default Start Page", kept)) {
        std::wstring stuck;
        const Reading now = HiveStartPage(TextOf(folder), stuck);
        done = PutBackIfStillTheKits(
                   L"the Default profile's start page", now, kept, KitsValues(),
                   [&] { return PutHiveStartPage(TextOf(folder), kept, stuck); }, said) &&
               done;
        if (!stuck.empty()) said += (said.empty() ? L"" : L"; ") + stuck;
    }
    return done;
}

// --- the report --------------------------------------------------------------------

// Each line's who (a SID, "Default" or "-") and what, as the program appended them.
std::vector<std::pair<std::wstring, std::wstring>> ReadReport(const std::wstring& path) {
    const StoredValue file = FileReading(path).value;
    std::vector<std::pair<std::wstring, std::wstring>> lines;
    if (!file.present) return lines;
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
        if (what != std::wstring::npos)
            lines.emplace_back(line.substr(who + 1, folder - who - 1), line.substr(what + 1));
    }
    return lines;
}

// The status one line of the report gives the run, as the program counts its
// outcomes (1 outweighs 2, which outweighs 3), and how serious it is.
int Seriousness(DWORD status) { return status == 1 ? 3 : status == 2 ? 2 : status == 3 ? 1 : 0; }
DWORD StatusOfLine(const std::wstring& what) {
    const auto starts = [&](const wchar_t* text) { return what.rfind(text, 0) == 0; };
    const auto holds = [&](const wchar_t* text) { return what.find(text) != std::wstring::npos; };
    if (starts(L"exit status ")) return 0;
    if (holds(L"the shortcut could not be deleted") || starts(L"failed: ") || holds(L"will not take")) return 1;
    if (holds(L"start page not written") || holds(L"marker not written")) return 2;
    if (starts(L"every profile needs")) return 6;
    if (starts(L"shortcut removed; start page written") || starts(L"no shortcut; start page written") ||
        starts(L"left alone: ") || starts(L"unloaded: "))
        return 0;
    return 3;
}

// Whether this process's token holds both privileges /AllProfiles and the
// kit's own hive loads need, enabled or not.
bool HoldsHivePrivileges() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    const Handle owned(token);
    DWORD size = 0;
    ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    if (!::GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) return false;
    const auto* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    int found = 0;
    for (const wchar_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
        LUID id{};
        if (!::LookupPrivilegeValueW(nullptr, name, &id)) return false;
        for (DWORD i = 0; i < held->PrivilegeCount; ++i)
            if (held->Privileges[i].Luid.LowPart == id.LowPart && held->Privileges[i].Luid.HighPart == id.HighPart) {
                ++found;
                break;
            }
    }
    return found == 2;
}

// Where a case over every profile cannot run, why.
bool CannotRun(Check& check) {
    if (Where().underWine) {
        check.Skip(
            L"Wine has no accounts to make (every process runs as one user): the end-to-end suite stages "
            L"profiles in its prefix instead");
        return true;
    }
    if (!Where().everyProfile) {
        check.Skip(
            L"it makes local users and runs /AllProfiles over this desktop: run the kit with --every-profile (it "
            L"says what it will change first)");
        return true;
    }
    if (!Where().elevated || !HoldsHivePrivileges()) {
        check.Skip(
            L"it makes a local user and runs /AllProfiles, which need an elevated administrator holding "
            L"SeBackupPrivilege and SeRestorePrivilege");
        return true;
    }
    return false;
}

// What one case over every profile holds from its start to its put-back: the
// kits' lock, so that two kits (x86 and x64) never share a record or a hive.
// What it cannot set up is the case's own outcome ("not staged"), not the
// program's failure; what it cannot put back, likewise ("not put back").
class ProfileCase {
public:
    explicit ProfileCase(Check& check) : check_(check) {
        lock_.Reset(::CreateMutexW(nullptr, FALSE, KitLock));
        const DWORD waited = lock_ ? ::WaitForSingleObject(lock_.Get(), 0) : WAIT_FAILED;
        locked_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
        if (!locked_)
            Refuse(L"another kit is running a case over every profile on this desktop");
        else if (record_.Look() != Record::State::Absent)
            Refuse(L"an earlier case's changes are not all put back: run the kit with --restore");
        else if (ProgramRunInProgress())
            Refuse(
                L"a run of the program over every profile is in progress on this desktop (take the desktop out of "
                L"the program's deployment while the kit runs)");
        else
            ready_ = true;
    }
    ProfileCase(const ProfileCase&) = delete;
    ProfileCase& operator=(const ProfileCase&) = delete;
    ~ProfileCase() {
        if (ready_) {
            std::wstring said;
            if (PutBackProfiles(said) != PutBackOutcome::Done || !said.empty())
                check_.NotPutBack(said.empty() ? L"what the case changed could not all be put back" : said);
        }
        if (locked_) ::ReleaseMutex(lock_.Get());
    }
    bool Ready() const { return ready_; }
    Record& Kept() { return record_; }
    // Keeps each as found, or the case is not staged, with nothing more changed.
    bool Keep(const std::wstring& name, const Reading& found) {
        if (record_.Keep(name, found)) return true;
        check_.NotStaged((found.readable ? L"the record could not be written: " : L"could not be read: ") + name);
        return false;
    }
    bool KeepFile(const std::wstring& name, const std::wstring& path) {
        if (pilot::KeepFile(record_, name, path)) return true;
        check_.NotStaged(L"could not be read or recorded: " + path);
        return false;
    }

private:
    void Refuse(const std::wstring& why) { check_.NotStaged(why + L"; nothing was changed"); }

    Check& check_;
    Record record_ = ProfilesRecord();
    desktop::Handle lock_;
    bool locked_ = false;
    bool ready_ = false;
};

// A user made for the case, with the kit's value as its start page (its hive
// is copied from the Default profile's, which may hold the address already).
bool StageUser(ProfileCase& staged, Check& check, const wchar_t* tag, StagedUser& user) {
    user = MakeUser(staged.Kept(), tag, WindowsAccounts());
    std::wstring stuck;
    if (user.failure.empty() && !PutHiveStartPage(user.profile, TextValue(BeforeTheRun), stuck))
        user.failure = L"its hive could not be given the kit's start page " + stuck;
    if (!user.failure.empty()) check.NotStaged(L"no local user could be made for the case: " + user.failure);
    return user.failure.empty();
}

struct AllProfilesRun {
    RunResult run;
    std::vector<std::pair<std::wstring, std::wstring>> lines;
    std::map<std::wstring, std::wstring> said;  // the last line of each who
    Reading marker;
};

// The Default profile, kept as found, and the account's own shortcut, which
// goes with every other profile's, and the marker, set to the kit's value.
bool PrepareRun(ProfileCase& staged, const std::wstring& defaultFolder) {
    const std::wstring own = OwnShortcut();
    std::wstring stuck;
    return staged.Keep(L"Default folder", {true, TextValue(defaultFolder)}) &&
           staged.Keep(L"Default Start Page", HiveStartPage(defaultFolder, stuck)) &&
           staged.KeepFile(L"Default shortcut", defaultFolder + StartupBelowProfile + ShortcutName) &&
           (own.empty() || staged.KeepFile(L"Own shortcut", own)) && staged.Keep(L"Marker", Marker()) &&
           PutMarker(TextValue(BeforeTheRun));
}

// The run, with the Default profile holding what the case planted there only
// from just before it (a user signing in for the first time meanwhile would
// copy it) to just after it, and nothing of the program's left loaded after a
// run the kit had to end.
AllProfilesRun RunOverEveryProfile(ProfileCase& staged, Check& check, const std::wstring& name,
                                   const std::function<bool()>& exposeDefault,
                                   const std::function<void(AllProfilesRun&)>& readDefault) {
    const std::wstring log = Where().scratch + L"\\" + name + L".log";
    RunOptions options;
    options.arguments = L"/AllProfiles /Log \"" + log + L"\"";
    options.timeoutMilliseconds = AllProfilesPatience;
    AllProfilesRun result;
    if (!exposeDefault()) {
        check.NotStaged(L"the Default profile's shortcut or start page could not be staged");
        result.run.startError = ERROR_CANCELLED;
    } else {
        result.run = RunProgram(options);
    }
    readDefault(result);
    std::wstring said;
    if (!PutBackDefault(staged.Kept(), said) || !said.empty()) check.NotPutBack(L"the Default profile: " + said);
    const std::wstring stays = UnloadLeftoverHives();
    if (!stays.empty()) check.NotPutBack(L"these hives stay loaded: " + stays);
    result.lines = ReadReport(log);
    for (const auto& [who, what] : result.lines) result.said[who] = what;
    result.marker = Marker();
    return result;
}

// A REG_SZ of exactly the text: type and data.
bool Holds(const Reading& found, const std::wstring& text) {
    const StoredValue expected = TextValue(text);
    return found.readable && found.value.present && found.value.type == REG_SZ && found.value.data == expected.data;
}

// The status is the most serious outcome the report gives any profile, and
// the marker holds the address exactly when that is 0: a program that always
// ended with 3, or never wrote the marker, fails here.
void ExpectStatusAndMarker(Check& check, const AllProfilesRun& all) {
    if (all.run.startError == ERROR_CANCELLED) return;  // not staged
    if (all.run.startError || all.run.timedOut) return check.Expect(false, L"ended with " + Describe(all.run));
    check.Expect(all.run.boxes.empty(), L"showed a box: " + Describe(all.run));
    check.Expect(!all.lines.empty() && all.lines.back().first == L"-" &&
                     all.lines.back().second == L"exit status " + std::to_wstring(all.run.status),
                 L"the report's last line does not give the status " + std::to_wstring(all.run.status));
    DWORD expectedStatus = 0;
    for (std::size_t line = 0; line + 1 < all.lines.size(); ++line) {
        const DWORD status = StatusOfLine(all.lines[line].second);
        if (status == 6 || Seriousness(status) > Seriousness(expectedStatus)) expectedStatus = status;
    }
    check.Expect(all.run.status == expectedStatus, L"ended with " + std::to_wstring(all.run.status) +
                                                       L" where the report's lines give " +
                                                       std::to_wstring(expectedStatus));
    const std::wstring expected = expectedStatus == 0 ? Where().startPageUrl : BeforeTheRun;
    check.Expect(Holds(all.marker, expected), L"with status " + std::to_wstring(expectedStatus) +
                                                  L" the detection marker should hold " + expected + L", not " +
                                                  Shown(all.marker));
}

std::wstring SaidOf(const AllProfilesRun& all, const std::wstring& who) {
    const auto line = all.said.find(who);
    return line == all.said.end() ? L"(no line in the report)" : line->second;
}

// A batch oplock of the kit's own on a file, never acknowledged while it is
// held: whoever opens the file for deletion waits on its break.
struct HeldOplock {
    Handle file, broken;
    OVERLAPPED overlapped{};
    bool Take(const std::wstring& path) {
        file.Reset(desktop::Opened(::CreateFileW(path.c_str(), GENERIC_READ,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr)));
        broken.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!file || !broken) return false;
        overlapped.hEvent = broken.Get();
        DWORD returned = 0;
        // Granted, it stays pending until it is broken.
        return !::DeviceIoControl(file.Get(), FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0, nullptr, 0, &returned,
                                  &overlapped) &&
               ::GetLastError() == ERROR_IO_PENDING;
    }
};

// As a standard user would, with the kit's own token filtered as Windows
// filters an administrator's (the Administrators group for denying only, at
// medium integrity; the staged users' passwords are known to nobody): the
// lock's old name taken first in Global\, and the run's private namespace
// tried. The kit runs itself so, with --squat-lock, until it is ended.
bool StartSquatter(Handle& squatter) {
    HANDLE own = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &own))
        return false;
    const Handle ownToken(own);
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                    0, 0, &administrators))
        return false;
    SID_AND_ATTRIBUTES disabled{administrators, 0};
    HANDLE restricted = nullptr;
    const BOOL made = ::CreateRestrictedToken(ownToken.Get(), DISABLE_MAX_PRIVILEGE, 1, &disabled, 0, nullptr, 0,
                                              nullptr, &restricted);
    ::FreeSid(administrators);
    if (!made) return false;
    const Handle token(restricted);
    PSID medium = nullptr;
    if (!::ConvertStringSidToSidW(L"S-1-16-8192", &medium)) return false;
    TOKEN_MANDATORY_LABEL label{{medium, SE_GROUP_INTEGRITY}};
    const BOOL labelled =
        ::SetTokenInformation(token.Get(), TokenIntegrityLevel, &label, sizeof(label) + ::GetLengthSid(medium));
    ::LocalFree(medium);
    if (!labelled) return false;
    std::wstring commandLine = L"\"" + Where().kit + L"\" --squat-lock";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessAsUserW(token.Get(), Where().kit.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                                CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process))
        return false;
    ::CloseHandle(process.hThread);
    squatter.Reset(process.hProcess);
    // Still running, the old name taken: the squat is in place.
    for (int wait = 0; wait < 50; ++wait) {
        if (::WaitForSingleObject(process.hProcess, 100) != WAIT_TIMEOUT) return false;
        const Handle name(::OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\Desktop Remediation"));
        if (name || ::GetLastError() == ERROR_ACCESS_DENIED) return true;
    }
    return false;
}

constexpr wchar_t OplockOnTheShortcut[] = L"past a user's opportunistic lock on their shortcut";
constexpr wchar_t LockNameTaken[] = L"while a standard user holds the lock's old name";

// The run over every profile repairs a staged user and the Default profile;
// the table's rows add what a standard user can do to hold it back: an
// opportunistic lock on the user's own shortcut (a second user staged after
// them must be repaired all the same, within the bound), or the lock's name
// taken first.
void EveryProfileAndTheDefaultOne(const Case& c, Check& check) {
    if (CannotRun(check)) return;
    ProfileCase staged(check);
    if (!staged.Ready()) return;
    const std::wstring row = c.data ? c.data : L"";
    const std::wstring defaultFolder = DefaultProfileFolder();
    if (defaultFolder.empty()) return check.NotStaged(L"ProfileList names no Default profile");
    const std::wstring defaultShortcut = defaultFolder + StartupBelowProfile + ShortcutName;
    StagedUser user, after;
    if (!StageUser(staged, check, L"a", user) ||
        (row == OplockOnTheShortcut && !StageUser(staged, check, L"c", after)) || !PrepareRun(staged, defaultFolder))
        return;
    const std::wstring shortcut = user.profile + StartupBelowProfile + ShortcutName;
    const std::wstring afterShortcut = after.profile.empty() ? L"" : after.profile + StartupBelowProfile + ShortcutName;
    if (!PlantShortcut(shortcut) || (!afterShortcut.empty() && !PlantShortcut(afterShortcut)))
        return check.NotStaged(L"the staged users' shortcuts could not be planted");
    HeldOplock oplock;
    Handle squatter;
    if (row == OplockOnTheShortcut && !oplock.Take(shortcut))
        return check.NotStaged(L"no batch oplock could be had on " + shortcut);
    if (row == LockNameTaken && !StartSquatter(squatter))
        return check.NotStaged(L"no process with a standard user's token took the lock's old name");
    Reading defaultShortcutAfter, defaultStartPage;
    std::wstring stuck;
    const DWORD started = ::GetTickCount();
    const AllProfilesRun all = RunOverEveryProfile(
        staged, check, L"every-profile",
        [&] {
            return PlantShortcut(defaultShortcut) && PutHiveStartPage(defaultFolder, TextValue(BeforeTheRun), stuck);
        },
        [&](AllProfilesRun&) {
            defaultShortcutAfter = FileReading(defaultShortcut);
            defaultStartPage = HiveStartPage(defaultFolder, stuck);
        });
    const DWORD took = ::GetTickCount() - started;
    oplock.file.Reset();
    if (squatter) ::TerminateProcess(squatter.Get(), 0), ::WaitForSingleObject(squatter.Get(), 5000);
    if (all.run.startError == ERROR_CANCELLED) return;

    ExpectStatusAndMarker(check, all);
    const Reading userStartPage = HiveStartPage(user.profile, stuck);
    if (row == OplockOnTheShortcut) {
        // Within the lock's wait and each profile's bound, with room for the desktop's own profiles.
        check.Expect(took < 30000 + 23000 * 4, L"the run took " + std::to_wstring(took / 1000) + L" s");
        const std::wstring said = SaidOf(all, user.sid);
        check.Expect(said.rfind(L"the shortcut could not be deleted", 0) == 0 ||
                         said.rfind(L"not remediated: another program kept", 0) == 0,
                     L"the report says of the user whose shortcut was oplocked: " + said);
        check.Expect(!Exists(afterShortcut), L"the second user's shortcut is still there: " + SaidOf(all, after.sid));
        check.Expect(SaidOf(all, after.sid) == L"shortcut removed; start page written",
                     L"the report says of the second user: " + SaidOf(all, after.sid));
    } else {
        const Reading userShortcut = FileReading(shortcut);
        check.Expect(userShortcut.readable && !userShortcut.value.present,
                     L"the user's shortcut is " + std::wstring(userShortcut.readable ? L"still there" : L"unreadable") +
                         L": " + SaidOf(all, user.sid));
        check.Expect(Holds(userStartPage, Where().startPageUrl),
                     L"the user's hive holds " + Shown(userStartPage) + L": " + SaidOf(all, user.sid));
        check.Expect(SaidOf(all, user.sid) == L"shortcut removed; start page written",
                     L"the report says of the user: " + SaidOf(all, user.sid));
    }
    check.Expect(defaultShortcutAfter.readable && !defaultShortcutAfter.value.present,
                 L"the Default profile's shortcut is " +
                     std::wstring(defaultShortcutAfter.readable ? L"still there" : L"unreadable") + L": " +
                     SaidOf(all, L"Default"));
    check.Expect(Holds(defaultStartPage, Where().startPageUrl),
                 L"the Default profile's hive holds " + Shown(defaultStartPage) + L": " + SaidOf(all, L"Default"));
    check.Expect(SaidOf(all, L"Default") == L"shortcut removed; start page written",
                 L"the report says of the Default profile: " + SaidOf(all, L"Default"));
    if (!stuck.empty()) check.NotPutBack(stuck);
}

// As a user may: a folder of their profile a junction to a folder they may
// not write. The run must not go through it.
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

// A user's junction, at their Startup folder or at a folder above it, to a
// folder they may not write holding a shortcut at the same place: the run
// must not go through it. The Default profile is kept and put back as in
// every case over every profile.
void AJunctionInAUsersProfileIsNotGoneThrough(const Case& c, Check& check) {
    if (CannotRun(check)) return;
    ProfileCase staged(check);
    StagedUser user;
    const std::wstring defaultFolder = DefaultProfileFolder();
    if (!staged.Ready()) return;
    if (defaultFolder.empty()) return check.NotStaged(L"ProfileList names no Default profile");
    if (!StageUser(staged, check, L"b", user) || !PrepareRun(staged, defaultFolder)) return;
    const std::wstring link = user.profile + L"\\AppData\\Roaming\\" + c.data;
    const std::wstring guarded = Where().scratch + L"\\guarded";
    const std::wstring below = (user.profile + StartupBelowProfile).substr(link.size());
    const std::wstring canary = guarded + below + ShortcutName;
    RemoveTree(link);
    if (!PlantShortcut(canary) || !SetSecurity(guarded, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)") ||
        !MakeJunction(link, guarded))
        return check.NotStaged(L"the junction to a guarded folder could not be made");

    const auto nothingToExpose = [] { return true; };
    const auto nothingToRead = [](AllProfilesRun&) {};
    const AllProfilesRun all = RunOverEveryProfile(staged, check, L"junction", nothingToExpose, nothingToRead);

    if (all.run.startError != ERROR_CANCELLED) {
        ExpectStatusAndMarker(check, all);
        check.Expect(Exists(canary), L"the file the junction led to was deleted");
        check.Expect(
            all.run.status != 0 &&
                SaidOf(all, user.sid).find(link + L" is a junction or link, not gone through") != std::wstring::npos,
            L"the report says of the user: " + SaidOf(all, user.sid));
    }
    // The junction itself, not what it leads to.
    ::RemoveDirectoryW(link.c_str());
    RemoveTree(guarded);
}

// --- the kit's own bookkeeping, checked where no account can be made ----------------

constexpr wchar_t CheckRecordKey[] = L"Software\\Desktop Remediation Pilot Check";

void TheRecordKeepsTheFirstValueWhilePending(const Case&, Check& check) {
    Record record(HKEY_CURRENT_USER, CheckRecordKey, 0, nullptr);
    StoredValue kept;
    check.Expect(record.Look() == Record::State::Absent, L"a record nothing was kept in is pending");
    check.Expect(record.Keep(L"Marker", {true, TextValue(L"as found")}) &&
                     record.Keep(L"Marker", {true, TextValue(L"as a case left it")}) && record.Kept(L"Marker", kept) &&
                     TextOf(kept) == L"as found",
                 L"a second keep replaced the value kept first: " + TextOf(kept));
    check.Expect(record.Look() == Record::State::Pending, L"a record holding a value is not pending");
    check.Expect(!record.Keep(L"Unread", Reading()) && !record.Kept(L"Unread", kept),
                 L"a value that could not be read was kept as if it were absent");
    check.Expect(record.Keep(L"Absent", {true, StoredValue()}) && record.Kept(L"Absent", kept) && !kept.present,
                 L"a value found absent was not kept as absent");
    check.Expect(record.Forget(L"Marker") && record.Keep(L"Marker", {true, TextValue(L"again")}) &&
                     record.Kept(L"Marker", kept) && TextOf(kept) == L"again",
                 L"a value forgotten could not be kept anew");
    check.Expect(record.Clear() && record.Look() == Record::State::Absent, L"the record could not be cleared");
}

void CouldNotReadIsNotAbsent(const Case&, Check& check) {
    const std::wstring folder = Where().scratch + L"\\readings";
    const std::wstring held = folder + L"\\held.lnk", notAHive = folder + L"\\NTUSER.DAT";
    MakeFolders(folder);
    check.Expect(PlantShortcut(held) && PlantShortcut(notAHive), L"the files could not be made");
    const Reading absent = FileReading(folder + L"\\none.lnk");
    check.Expect(absent.readable && !absent.value.present, L"a file that is not there reads " + Shown(absent));
    {
        // Held open without read sharing, as another program may hold it.
        const Handle holding(desktop::Opened(
            ::CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
        const Reading unread = FileReading(held);
        check.Expect(holding && !unread.readable, L"a file held open without sharing reads " + Shown(unread));
    }
    std::wstring stuck;
    const Reading hive = HiveStartPage(folder, stuck);
    check.Expect(!hive.readable, L"a start page in a file that is no hive reads " + Shown(hive));
}

// Every account call the removal makes, in order, against accounts it only pretends to have.
struct PretendAccounts {
    DWORD addStatus = NERR_Success;
    AccountOperations::Found found = AccountOperations::Found::LocalUser;
    std::wstring comment = AccountMark;
    DWORD profileBusyFor = 0;  // DeleteProfileW fails this many times
    std::vector<std::wstring> calls;

    AccountOperations Operations() {
        AccountOperations accounts;
        accounts.add = [this](const std::wstring&, const std::wstring&) { return addStatus; };
        accounts.localSidOf = [](const std::wstring&) { return std::wstring(L"S-1-5-21-7-8-9-1001"); };
        accounts.localUserOf = [this](const std::wstring&, std::wstring& name) {
            name = L"rpilot";
            return found;
        };
        accounts.commentOf = [this](const std::wstring&) { return comment; };
        accounts.createProfile = [](const std::wstring&, const std::wstring&, std::wstring& profile) {
            profile = L"C:\\Users\\rpilot";
            return S_OK;
        };
        accounts.deleteProfile = [this](const std::wstring&) {
            calls.push_back(L"delete profile");
            if (profileBusyFor == 0) return true;
            --profileBusyFor;
            return false;
        };
        accounts.profileGone = [](const std::wstring&) { return false; };
        accounts.deleteUser = [this](const std::wstring&) {
            calls.push_back(L"delete user");
            return DWORD{NERR_Success};
        };
        accounts.sleep = [](DWORD) {};
        return accounts;
    }
};

// A value set since by someone else is never overwritten by a put-back, nor
// one that could not be read; nothing, the kit's own value or the address is.
void OnlyWhatIsStillTheKitsIsPutBack(const Case&, Check& check) {
    const StoredValue kept = TextValue(L"http://as-found.example"), other = TextValue(L"http://set-since.example");
    struct Row {
        const wchar_t* name;
        std::optional<StoredValue> now;  // nothing: it cannot be read
        bool putBack, said;
    };
    const Row rows[] = {
        {L"nothing there", StoredValue(), true, false},
        {L"the kit's own value", TextValue(BeforeTheRun), true, false},
        {L"the address the program wrote", TextValue(Where().startPageUrl), true, false},
        {L"what was found", kept, true, false},
        {L"a value set since", other, false, true},
        {L"a value of another type", StoredValue{true, REG_EXPAND_SZ, TextValue(BeforeTheRun).data}, false, true},
        {L"a value that cannot be read", std::nullopt, false, true},
    };
    for (const Row& row : rows) {
        bool put = false;
        std::wstring said;
        const Reading now{row.now.has_value(), row.now.value_or(StoredValue())};
        const auto putBack = [&] { return put = true; };
        const bool done = PutBackIfStillTheKits(L"the value", now, kept, KitsValues(), putBack, said);
        check.Expect(put == row.putBack && said.empty() != row.said && done == (row.putBack || row.now.has_value()),
                     std::wstring(row.name) + L": put back " + (put ? L"yes" : L"no") + L", said \"" + said + L"\"");
    }
}

void AStagedUserIsRemovedInOrderAndOnlyWhenItIsTheKits(const Case&, Check& check) {
    struct Row {
        const wchar_t* name;
        void (*stage)(PretendAccounts&);
        bool removed;              // nothing of it is left in the record
        std::size_t profileTries;  // DeleteProfileW calls
        bool userDeleted;          // NetUserDel, after the profile is gone
    };
    const Row rows[] = {
        {L"a profile busy for a while", [](PretendAccounts& a) { a.profileBusyFor = 2; }, true, 3, true},
        {L"a profile busy for good", [](PretendAccounts& a) { a.profileBusyFor = 1000; }, false, DeleteProfileAttempts,
         false},
        {L"an account of that name already there", [](PretendAccounts& a) { a.addStatus = 2224; }, true, 0, false},
        {L"an account that is not the computer's own",
         [](PretendAccounts& a) { a.found = AccountOperations::Found::NotLocal; }, true, 0, false},
        {L"an account without the kit's mark", [](PretendAccounts& a) { a.comment = L"someone's"; }, true, 0, false},
        {L"an account gone already", [](PretendAccounts& a) { a.found = AccountOperations::Found::Gone; }, true, 1,
         false},
    };
    for (const Row& row : rows) {
        Record record(HKEY_CURRENT_USER, CheckRecordKey, 0, nullptr);
        PretendAccounts pretend;
        row.stage(pretend);
        const AccountOperations accounts = pretend.Operations();
        MakeUser(record, L"a", accounts);
        std::wstring why;
        const bool removed = RemoveUser(record, L"a", accounts, why);
        std::vector<std::wstring> expected(row.profileTries, L"delete profile");
        if (row.userDeleted) expected.push_back(L"delete user");
        std::wstring calls;
        for (const std::wstring& call : pretend.calls) calls += (calls.empty() ? L"" : L", ") + call;
        check.Expect(removed == row.removed && pretend.calls == expected,
                     std::wstring(row.name) + L": removed " + (removed ? L"yes" : L"no") + L", calls: " + calls);
        check.Expect(removed == (record.Look() == Record::State::Absent),
                     std::wstring(row.name) + L": the record does not say what is left");
        record.Clear();
    }
}

}  // namespace

bool ProfilesRecordPending() { return ProfilesRecord().Look() != Record::State::Absent; }

PutBackOutcome PutBackProfiles(std::wstring& said) {
    Record record = ProfilesRecord();
    switch (record.Look()) {
        case Record::State::Absent: return PutBackOutcome::Done;
        case Record::State::Unreadable: return PutBackOutcome::NeedsElevation;
        case Record::State::Pending: break;
    }
    // Nothing of the program's may be running over the profiles meanwhile.
    if (ProgramRunInProgress()) {
        said += (said.empty() ? L"" : L"; ") + std::wstring(L"a run of the program is in progress: put back later");
        return PutBackOutcome::Failed;
    }
    bool done = true;
    const AccountOperations accounts = WindowsAccounts();
    for (const wchar_t* tag : UserTags) {
        std::wstring why;
        done = RemoveUser(record, tag, accounts, why) && done;
        if (!why.empty()) said += (said.empty() ? L"" : L"; ") + why;
    }
    done = PutBackDefault(record, said) && done;
    std::wstring path;
    StoredValue kept;
    DWORD attributes = 0;
    if (KeptFile(record, L"Own shortcut", path, kept, attributes))
        done = PutBackIfStillTheKits(
                   path, FileReading(path), kept, {}, [&] { return PutFile(path, kept, attributes); }, said) &&
               done;
    if (record.Kept(L"Marker", kept)) {
        done = PutBackIfStillTheKits(
                   L"the detection marker", Marker(), kept, KitsValues(), [&] { return PutMarker(kept); }, said) &&
               done;
        if (!kept.present && KeyExists(HKEY_LOCAL_MACHINE, MarkerKey, Wow64Key))
            said += (said.empty() ? L"" : L"; ") +
                    std::wstring(L"the key HKLM\\SOFTWARE\\Desktop Remediation, which was not there before, is left");
    }
    return done && record.Clear() ? PutBackOutcome::Done : PutBackOutcome::Failed;
}

std::vector<std::wstring> EveryProfilePlan() {
    const std::wstring pid = std::to_wstring(::GetCurrentProcessId() % 100000);
    const std::wstring defaultFolder = DefaultProfileFolder();
    const std::wstring own = OwnShortcut();
    return {
        L"With --every-profile, the cases over every profile will, on this desktop:",
        L"- make the local users rpilota" + pid + L", rpilotb" + pid + L" and rpilotc" + pid +
            L" (standard users, each with a profile, their comment \"" + AccountMark +
            L"\"), and delete each with its profile after its case;",
        L"- run the program over every profile of this desktop, as /AllProfiles does: every other profile keeps "
        L"its repair (its shortcut removed, its start page set);",
        L"- change, and put back as found: the Default profile's (" +
            (defaultFolder.empty() ? std::wstring(L"none named") : defaultFolder) +
            L") Startup shortcut and the start page in its NTUSER.DAT, each set by the kit just before a run and "
            L"put back just after it; the detection marker HKLM\\SOFTWARE\\Desktop Remediation \"Start Page\"; this "
            L"account's own Startup shortcut" +
            (own.empty() ? L"" : L" (" + own + L")") + L";",
        L"- keep what it changes in HKLM\\SOFTWARE\\Desktop Remediation Pilot (administrators only; the account's "
        L"own start page in HKCU\\Software\\Desktop Remediation Pilot) until it is put back, after each case, at "
        L"the kit's next start or with --restore; a value or file is put back only where it still holds what the "
        L"kit left there;",
        L"- be seen by endpoint security: local accounts made and deleted, files written to Startup folders, "
        L"hives loaded, a debugger attached to the program, and a process started with a filtered token.",
        L"Take this desktop out of the program's deployment while the kit runs, and let nobody sign in here for "
        L"the first time meanwhile."};
}

std::vector<std::wstring> PendingPutBack() {
    std::vector<std::wstring> lines;
    const Record record = ProfilesRecord();
    for (const std::wstring& name : record.Names()) {
        StoredValue kept;
        if (!record.Kept(name, kept)) continue;
        lines.push_back(L"- " + name + L": " + Shown({true, kept}));
    }
    if (!lines.empty())
        lines.insert(lines.begin(),
                     L"It puts back what the cases over every profile recorded (users named here are deleted with "
                     L"their profiles, if they carry the kit's mark; a value or file only where it still holds what "
                     L"the kit left):");
    return lines;
}

void AddProfileCases(std::vector<Case>& cases) {
    cases.push_back({L"every profile and the Default profile are repaired", EveryProfileAndTheDefaultOne, nullptr,
                     NeedsSupportedVersion});
    for (const wchar_t* heldBack : {OplockOnTheShortcut, LockNameTaken})
        cases.push_back({L"every profile and the Default profile are repaired", EveryProfileAndTheDefaultOne, heldBack,
                         NeedsSupportedVersion});
    cases.push_back({L"over every profile a junction in a profile is not gone through",
                     AJunctionInAUsersProfileIsNotGoneThrough, L"Microsoft\\Windows\\Start Menu\\Programs\\Startup",
                     NeedsSupportedVersion});
    cases.push_back({L"over every profile a junction in a profile is not gone through",
                     AJunctionInAUsersProfileIsNotGoneThrough, L"Microsoft", NeedsSupportedVersion});
    cases.push_back({L"the every-profile record keeps the first value while it is pending",
                     TheRecordKeepsTheFirstValueWhilePending});
    cases.push_back({L"a value that could not be read is not recorded as absent", CouldNotReadIsNotAbsent});
    cases.push_back(
        {L"a value is put back only where it still holds what the kit left", OnlyWhatIsStillTheKitsIsPutBack});
    cases.push_back({L"a staged user is removed in order and only when it is the kit's",
                     AStagedUserIsRemovedInOrderAndOnlyWhenItIsTheKits});
}

}  // namespace pilot
