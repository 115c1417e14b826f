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

bool KeepFile(Record& record, const std::wstring& name, const std::wstring& path) {
    return record.Keep(name + L" path", {true, TextValue(path)}) && record.Keep(name, FileReading(path));
}

bool KeptFile(const Record& record, const std::wstring& name, std::wstring& path, StoredValue& file) {
    StoredValue kept;
    if (!record.Kept(name + L" path", kept) || !record.Kept(name, file)) return false;
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

// The Default profile's shortcut and start page as found; the first put-back
// comes straight after the run, the Default profile being what every new
// user's profile is copied from.
bool PutBackDefault(const Record& record, std::wstring& stuck) {
    bool done = true;
    std::wstring path;
    StoredValue kept;
    if (KeptFile(record, L"Default shortcut", path, kept)) done = PutFile(path, kept) && done;
    StoredValue folder;
    if (record.Kept(L"Default folder", folder) && record.Kept(L"Default Start Page", kept))
        done = PutHiveStartPage(TextOf(folder), kept, stuck) && done;
    return done;
}

// --- the report --------------------------------------------------------------------

// Each line's who (a SID, "Default" or "-") and what, as the program appended them.
std::map<std::wstring, std::wstring> ReadReport(const std::wstring& path) {
    const StoredValue file = FileReading(path).value;
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

// What one case over every profile holds from its start to its put-back: the
// kits' lock, so that two kits (x86 and x64) never share a record or a hive.
class ProfileCase {
public:
    explicit ProfileCase(Check& check) : check_(check) {
        lock_.Reset(::CreateMutexW(nullptr, FALSE, KitLock));
        const DWORD waited = lock_ ? ::WaitForSingleObject(lock_.Get(), 0) : WAIT_FAILED;
        locked_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
        if (!locked_)
            Refuse(L"another kit is running a case over every profile on this desktop");
        else if (record_.Look() != Record::State::Absent)
            Refuse(L"an earlier kit's record of what it changed is still pending: run the kit with --restore");
        else
            ready_ = true;
    }
    ProfileCase(const ProfileCase&) = delete;
    ProfileCase& operator=(const ProfileCase&) = delete;
    ~ProfileCase() {
        if (ready_)
            check_.Expect(PutBackProfiles() == PutBackOutcome::Done,
                          L"what the case changed could not all be put back");
        if (locked_) ::ReleaseMutex(lock_.Get());
    }
    bool Ready() const { return ready_; }
    Record& Kept() { return record_; }
    // Keeps each as found, or fails the case with nothing more changed.
    bool Keep(const std::wstring& name, const Reading& found) {
        if (record_.Keep(name, found)) return true;
        check_.Expect(false, (found.readable ? L"the record could not be written: " : L"could not be read: ") + name);
        return false;
    }
    bool KeepFile(const std::wstring& name, const std::wstring& path) {
        if (pilot::KeepFile(record_, name, path)) return true;
        check_.Expect(false, L"could not be read or recorded: " + path);
        return false;
    }

private:
    void Refuse(const std::wstring& why) { check_.Expect(false, why + L": nothing was changed"); }

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
    check.Expect(user.failure.empty(), L"no local user could be made for the case: " + user.failure);
    return user.failure.empty();
}

struct AllProfilesRun {
    RunResult run;
    std::map<std::wstring, std::wstring> said;
    Reading marker;
};

// The account's own shortcut goes with every other profile's: it is kept,
// and the marker is set to the kit's value, first.
bool PrepareRun(ProfileCase& staged) {
    const std::wstring own = OwnShortcut();
    return (own.empty() || staged.KeepFile(L"Own shortcut", own)) && staged.Keep(L"Marker", Marker()) &&
           PutMarker(TextValue(BeforeTheRun));
}

AllProfilesRun RunOverEveryProfile(const std::wstring& name) {
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

std::wstring Shown(const Reading& found) {
    if (!found.readable) return L"(could not be read)";
    if (!found.value.present) return L"(none)";
    return found.value.type == REG_SZ ? L"REG_SZ " + TextOf(found.value)
                                      : L"type " + std::to_wstring(found.value.type) + L" " + TextOf(found.value);
}

// A REG_SZ of exactly the text: type and data.
bool Holds(const Reading& found, const std::wstring& text) {
    const StoredValue expected = TextValue(text);
    return found.readable && found.value.present && found.value.type == REG_SZ && found.value.data == expected.data;
}

void ExpectStatusAndMarker(Check& check, const AllProfilesRun& all) {
    if (all.run.startError || all.run.timedOut) return check.Expect(false, L"ended with " + Describe(all.run));
    check.Expect(all.run.boxes.empty(), L"showed a box: " + Describe(all.run));
    const auto summary = all.said.find(L"-");
    check.Expect(summary != all.said.end() && summary->second == L"exit status " + std::to_wstring(all.run.status),
                 L"the report's last line does not give the status " + std::to_wstring(all.run.status));
    // Other profiles of this desktop (roaming, mandatory, ...) may keep the
    // status from 0; the marker is then left as it was before the run.
    const std::wstring expected = all.run.status == 0 ? Where().startPageUrl : BeforeTheRun;
    check.Expect(Holds(all.marker, expected), L"with status " + std::to_wstring(all.run.status) +
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
    if (defaultFolder.empty()) return check.Expect(false, L"ProfileList names no Default profile");
    const std::wstring defaultShortcut = defaultFolder + StartupBelowProfile + ShortcutName;
    std::wstring stuck;
    StagedUser user, after;
    if (!staged.Keep(L"Default folder", {true, TextValue(defaultFolder)}) ||
        !staged.Keep(L"Default Start Page", HiveStartPage(defaultFolder, stuck)) ||
        !staged.KeepFile(L"Default shortcut", defaultShortcut) || !StageUser(staged, check, L"a", user) ||
        (row == OplockOnTheShortcut && !StageUser(staged, check, L"c", after)) || !PrepareRun(staged))
        return;
    const std::wstring shortcut = user.profile + StartupBelowProfile + ShortcutName;
    const std::wstring afterShortcut = after.profile.empty() ? L"" : after.profile + StartupBelowProfile + ShortcutName;
    // The Default profile exposed only for the run: a user signing in for
    // the first time meanwhile would copy what it holds.
    check.Expect(PlantShortcut(shortcut) && (afterShortcut.empty() || PlantShortcut(afterShortcut)) &&
                     PlantShortcut(defaultShortcut) && PutHiveStartPage(defaultFolder, TextValue(BeforeTheRun), stuck),
                 L"the shortcuts or the Default profile's start page could not be staged");
    HeldOplock oplock;
    Handle squatter;
    if (row == OplockOnTheShortcut) check.Expect(oplock.Take(shortcut), L"no batch oplock could be had on " + shortcut);
    if (row == LockNameTaken)
        check.Expect(StartSquatter(squatter), L"no process with a standard user's token took the lock's name");
    const DWORD started = ::GetTickCount();
    const AllProfilesRun all = RunOverEveryProfile(L"every-profile");
    const DWORD took = ::GetTickCount() - started;
    oplock.file.Reset();
    if (squatter) ::TerminateProcess(squatter.Get(), 0), ::WaitForSingleObject(squatter.Get(), 5000);
    const bool defaultShortcutThere = Exists(defaultShortcut);
    const Reading defaultStartPage = HiveStartPage(defaultFolder, stuck);
    check.Expect(PutBackDefault(staged.Kept(), stuck), L"the Default profile could not be put back " + stuck);

    ExpectStatusAndMarker(check, all);
    const Reading userStartPage = HiveStartPage(user.profile, stuck);
    if (row == OplockOnTheShortcut) {
        // Within the lock's wait and each profile's bound, with room for the desktop's own profiles.
        check.Expect(took < 30000 + 23000 * 4, L"the run took " + std::to_wstring(took / 1000) + L" s");
        const std::wstring said = SaidOf(all, user.sid);
        check.Expect(all.run.status != 0 && (said.rfind(L"the shortcut could not be deleted", 0) == 0 ||
                                             said.rfind(L"not remediated: another program kept", 0) == 0),
                     L"the report says of the user whose shortcut was oplocked: " + said);
        check.Expect(!Exists(afterShortcut), L"the second user's shortcut is still there: " + SaidOf(all, after.sid));
        check.Expect(SaidOf(all, after.sid) == L"shortcut removed; start page written",
                     L"the report says of the second user: " + SaidOf(all, after.sid));
    } else {
        check.Expect(!Exists(shortcut), L"the user's shortcut is still there: " + SaidOf(all, user.sid));
        check.Expect(Holds(userStartPage, Where().startPageUrl),
                     L"the user's hive holds " + Shown(userStartPage) + L": " + SaidOf(all, user.sid));
        check.Expect(SaidOf(all, user.sid) == L"shortcut removed; start page written",
                     L"the report says of the user: " + SaidOf(all, user.sid));
    }
    // A run the lock holds back reports no profile at all.
    check.Expect(all.said.count(user.sid) != 0, L"the run reported no profile: was it held back by its lock?");
    check.Expect(!defaultShortcutThere, L"the Default profile's shortcut is still there: " + SaidOf(all, L"Default"));
    check.Expect(Holds(defaultStartPage, Where().startPageUrl),
                 L"the Default profile's hive holds " + Shown(defaultStartPage) + L": " + SaidOf(all, L"Default"));
    check.Expect(stuck.empty(), stuck);
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
// must not go through it.
void AJunctionInAUsersProfileIsNotGoneThrough(const Case& c, Check& check) {
    if (CannotRun(check)) return;
    ProfileCase staged(check);
    StagedUser user;
    if (!staged.Ready() || !StageUser(staged, check, L"b", user) || !PrepareRun(staged)) return;
    const std::wstring link = user.profile + L"\\AppData\\Roaming\\" + c.data;
    const std::wstring guarded = Where().scratch + L"\\guarded";
    const std::wstring below = (user.profile + StartupBelowProfile).substr(link.size());
    const std::wstring canary = guarded + below + ShortcutName;
    RemoveTree(link);
    check.Expect(PlantShortcut(canary) && SetSecurity(guarded, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)") &&
                     MakeJunction(link, guarded),
                 L"the junction to a guarded folder could not be made");

    const AllProfilesRun all = RunOverEveryProfile(L"junction");

    ExpectStatusAndMarker(check, all);
    check.Expect(Exists(canary), L"the file the junction led to was deleted");
    check.Expect(
        all.run.status != 0 &&
            SaidOf(all, user.sid).find(link + L" is a junction or link, not gone through") != std::wstring::npos,
        L"the report says of the user: " + SaidOf(all, user.sid));
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

PutBackOutcome PutBackProfiles() {
    Record record = ProfilesRecord();
    switch (record.Look()) {
        case Record::State::Absent: return PutBackOutcome::Done;
        case Record::State::Unreadable: return PutBackOutcome::NeedsElevation;
        case Record::State::Pending: break;
    }
    bool done = true;
    std::wstring why, stuck;
    const AccountOperations accounts = WindowsAccounts();
    for (const wchar_t* tag : UserTags) {
        why.clear();
        done = RemoveUser(record, tag, accounts, why) && done;
        if (!why.empty()) Print(L"remediate-pilot: " + why);
    }
    done = PutBackDefault(record, stuck) && done;
    std::wstring path;
    StoredValue kept;
    if (KeptFile(record, L"Own shortcut", path, kept)) done = PutFile(path, kept) && done;
    if (record.Kept(L"Marker", kept)) done = PutMarker(kept) && done;
    if (!stuck.empty()) Print(L"remediate-pilot: " + stuck);
    return done && record.Clear() ? PutBackOutcome::Done : PutBackOutcome::Failed;
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
    cases.push_back({L"a staged user is removed in order and only when it is the kit's",
                     AStagedUserIsRemovedInOrderAndOnlyWhenItIsTheKits});
}

}  // namespace pilot
