// The pilot kit: the program's end-to-end cases as one Windows console
// program, which runs unchanged on a real desktop and under Wine. Each case
// gives the program a scratch profile of its own, runs it with a time limit,
// reads and dismisses every box it shows, and compares what it did with what
// Windows is documented to do. Where Wine does not model a behaviour, the
// check says so and the case reads "todo (Wine)" there.
#pragma once

#include <windows.h>

#include "desktop.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pilot {

// --- what the kit knows of where it runs ---------------------------------

struct Setting {
    std::wstring program;       // the executable under test
    std::wstring startPageUrl;  // the address it was built for
    std::wstring kit;           // this executable
    std::wstring scratch;       // the folder every case works below, removed at the end
    bool underWine = false;
    bool boxesReadable = false;  // this kit's own window station is visible
    bool elevated = false;
    bool everyProfile = false;  // --every-profile: the cases over every profile were asked for
    DWORD majorVersion = 0;     // what this Windows reports to the program, unless a case stages another
};
const Setting& Where();
void SetWhere(const Setting& setting);
// Whether this process's window station is visible: where it is not (a
// service's), no box can be seen or read.
bool OwnStationIsVisible();

// --- running the program ---------------------------------------------------

// A registry value as read, or to be written.
struct StoredValue {
    bool present = false;
    DWORD type = 0;
    std::vector<BYTE> data;
};

// Which major version Windows reports to a run: this system's own, or one a
// case staged (Wine's version setting, or Windows' compatibility layer).
enum class Staged { SystemVersion, VersionFive, SupportedVersion };

struct Box {
    std::wstring title, text;
    StoredValue startPageWhileShown;  // the account's Start Page while the box was up
};
inline bool operator==(const Box& a, const Box& b) { return a.title == b.title && a.text == b.text; }

struct RunOptions {
    std::optional<std::wstring> appData;    // nothing: APPDATA unset
    std::vector<std::wstring> environment;  // NAME=VALUE, replacing any value of NAME
    std::wstring program;                   // empty: the program under test
    std::wstring arguments;                 // its command line after its own name
    Staged version = Staged::SystemVersion;
    std::wstring hold;  // a path held open without delete sharing
    DWORD releaseAfterMilliseconds = INFINITE;
    bool invisibleStation = false;
    DWORD timeoutMilliseconds = 30000;
};

struct LoadedModule {
    std::wstring file;                  // as Windows names it: \Device\HarddiskVolume1\...
    std::wstring loaderName;            // where the loader found it, when it says
    std::vector<std::wstring> imports;  // the DLLs it imports, lower-cased
};

struct RunResult {
    DWORD startError = 0;  // CreateProcessW's error when it could not start
    bool timedOut = false;
    DWORD status = 0;
    std::vector<Box> boxes;
    std::vector<std::wstring> programImports;  // lower-cased
    std::vector<LoadedModule> modules;         // every DLL it loaded, in order
    // Told major version 5, the program refuses, and changes nothing.
    bool refused = false;
    bool unseen = false;  // run on a window station nobody sees
    StoredValue startPageBefore;
};

// Starts the program as a debuggee, so that every DLL it loads is seen.
RunResult RunProgram(const RunOptions& options);
// Ends a run in progress, from the console's control handler.
void EndRunInProgress();
// The major version that Windows reports to a run of this kit as the program
// runs (a debuggee), with the environment entries given.
DWORD ReportedMajorVersion(const std::vector<std::wstring>& environment);
// A file's name without its folders, lower-cased.
std::wstring LowerName(const std::wstring& path);

// --- one case ----------------------------------------------------------------

class Check {
public:
    // A difference from what Windows does fails the case.
    void Expect(bool held, const std::wstring& difference);
    // One Wine does not model: under Wine, the case reads "todo (Wine)".
    void ExpectTodoWine(bool held, const std::wstring& difference);
    void Skip(const std::wstring& why) { skipped_ = why; }
    // The case could not be set up on this desktop: no verdict on the program.
    void NotStaged(const std::wstring& why) {
        if (notStaged_.empty()) notStaged_ = why;
    }
    // What the case changed that could not be put back: said apart from the verdict.
    void NotPutBack(const std::wstring& what) { notPutBack_.push_back(what); }

    const std::wstring& Skipped() const { return skipped_; }
    const std::wstring& NotStagedWhy() const { return notStaged_; }
    const std::vector<std::wstring>& NotPutBackWhat() const { return notPutBack_; }
    const std::vector<std::wstring>& Differences() const { return differences_; }
    const std::vector<std::wstring>& WineDifferences() const { return wineDifferences_; }

private:
    std::wstring skipped_, notStaged_;
    std::vector<std::wstring> notPutBack_;
    std::vector<std::wstring> differences_;
    std::vector<std::wstring> wineDifferences_;
};

// A scratch profile folder of the case's own, given to the program as APPDATA.
struct Profile {
    std::wstring appData;   // ...\scratch\<case>
    std::wstring startup;   // appData + the Startup folder below it
    std::wstring shortcut;  // startup + "\Internet Explorer.lnk"
};
// `below` goes between the scratch folder of the case and the Startup folder's
// path below APPDATA.
Profile MakeProfile(const std::wstring& below = L"");

struct Case {
    std::wstring name;
    void (*run)(const Case&, Check&);
    const wchar_t* data = nullptr;  // what varies between the cases of one table
    unsigned needs = 0;             // of the flags below
};
// It expects a box, which only a visible window station shows.
constexpr unsigned NeedsBoxes = 1;
// What it shows only a version that the program runs on can stage: where this
// Windows reports version 5, it is skipped.
constexpr unsigned NeedsSupportedVersion = 2;
std::vector<Case> AllCases();
// The cases over every profile, which run only elevated, on Windows.
void AddProfileCases(std::vector<Case>& cases);

// --- checks the cases share ------------------------------------------------

extern const Box Refusal;
extern const Box Confirmation;
constexpr wchar_t ProgramTitle[] = L"Desktop Remediation";

std::wstring Describe(const RunResult& run);
void ExpectRun(Check& check, const RunResult& run, DWORD status, const std::vector<Box>& boxes);
void ExpectFailureReport(Check& check, const RunResult& run, const std::wstring& shortcut, DWORD error);
// Where the program refused the run, the start page must be as it was before it.
void ExpectStartPageWritten(Check& check, const RunResult& run);
void ExpectStartPageUnwritten(Check& check);

// --- files -----------------------------------------------------------------

std::wstring ExtendedPath(const std::wstring& path);  // "\\?\" form, for any length
bool MakeFolders(const std::wstring& path);
bool PlantShortcut(const std::wstring& path);
bool Exists(const std::wstring& path);
bool IsFolder(const std::wstring& path);
bool SetAttributes(const std::wstring& path, DWORD attributes);
bool SetSecurity(const std::wstring& path, const wchar_t* sddl);
void RemoveTree(const std::wstring& path);
std::wstring FreeDriveLetter();

// --- the account's start page, and putting it back ---------------------------

extern const wchar_t MainKey[];  // below HKEY_CURRENT_USER
extern const wchar_t InternetExplorerKey[];
// `view` adds a registry view (KEY_WOW64_64KEY) to the access asked for.
StoredValue ReadValue(HKEY root, const wchar_t* key, const wchar_t* name, REGSAM view = 0);
bool WriteValue(HKEY root, const wchar_t* key, const wchar_t* name, const StoredValue& value, REGSAM view = 0);
bool KeyExists(HKEY root, const wchar_t* key, REGSAM view = 0);
bool DeleteKeyTree(HKEY root, const wchar_t* key, REGSAM view = 0);
bool ProtectKey(const wchar_t* key, const wchar_t* sddl);
// Whether this account may put the key's permissions back, whatever they
// become: it may change them now. A key an elevated process made belongs to
// the Administrators group, which a standard or filtered token only denies.
bool MayChangePermissions(const wchar_t* key);
// Takes every right but reading from everyone, as `sddl` gives them, while
// this account keeps the right to read and change the permissions, and to
// delete the key.
bool LockKey(const wchar_t* key, const wchar_t* sddl);
// The SID of the account the kit runs as ("S-1-5-21-..."); empty where it cannot be read.
std::wstring AccountSid();
StoredValue TextValue(const std::wstring& text);
// A REG_SZ or REG_EXPAND_SZ value's text, without its terminator; empty for any other.
std::wstring TextOf(const StoredValue& value);

// What the kit changes, saved before the first case and put back after the
// last; kept in the registry until then, so that a kit ended by force puts it
// back at its next start.
bool SaveAccount();
bool RestoreAccount();  // from the kept copy, if there is one; true when nothing is left to put back
bool AccountCopyKept();
// Before each case: the start page gone, the key's permissions as found.
void ResetStartPage();
// The Windows version Wine reports to the programs started after this.
void SetWineVersion(const wchar_t* version);
bool InternetExplorerKeyExistedAtStart();
// --- what the cases over every profile change, and putting it back ----------

constexpr wchar_t ProfileListKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr REGSAM Wow64Key = 0x0100;  // KEY_WOW64_64KEY, where the program reads ProfileList and writes its marker
// The hive the kit loads to read or write a profile's start page: not of the
// program's prefix, whose hives each run of the program unloads at its start.
constexpr wchar_t KitHive[] = L"Remediation Pilot";
constexpr wchar_t ProgramHivePrefix[] = L"Desktop Remediation ";
constexpr wchar_t ProgramLock[] = L"Global\\Desktop Remediation";  // where Windows has no private namespaces
constexpr wchar_t ProgramLockBoundary[] = L"Desktop Remediation";
constexpr wchar_t ProgramPrivateLock[] = L"Desktop Remediation\\Run";
// Security software and the search indexer open a new profile's files for a
// while after it is made or used: DeleteProfileW is tried this often, a second apart.
constexpr DWORD DeleteProfileAttempts = 30;
// In the comment of every account the kit makes: one without it is never deleted.
constexpr wchar_t AccountMark[] = L"Made by remediate-pilot for one case, and deleted by it";

// A value, a file or a start page as found: `readable` false where it could
// not be read at all, which is not the same as not being there.
struct Reading {
    bool readable = false;
    StoredValue value;
};
Reading ValueReading(HKEY root, const wchar_t* key, const wchar_t* name, REGSAM view = 0);
Reading FileReading(const std::wstring& path);
// Writes the file back as kept, with its attributes (FILE_ATTRIBUTE_*, 0: none kept).
bool PutFile(const std::wstring& path, const StoredValue& file, DWORD attributes = 0);

// What is about to change, kept under its name in a registry key until it is
// put back. The first value kept under a name stays while it is pending: a
// case after a partly failed put-back, or another kit, cannot record what a
// case changed as what was there before.
class Record {
public:
    // `sddl`: the permissions the key is made with, or nullptr for its parent's.
    Record(HKEY root, std::wstring key, REGSAM view, const wchar_t* sddl);
    enum class State { Absent, Pending, Unreadable };
    State Look() const;
    // False where it was not kept: not readable, or not written.
    bool Keep(const std::wstring& name, const Reading& found);
    bool Kept(const std::wstring& name, StoredValue& value) const;
    // The names of what is kept, for saying what a put-back will do.
    std::vector<std::wstring> Names() const;
    bool Forget(const std::wstring& name);
    bool Clear();

private:
    HKEY root_;
    std::wstring key_;
    REGSAM view_;
    const wchar_t* sddl_;
};

// The account operations a staged user needs, apart so that the order and
// the refusals can be checked without making accounts.
struct AccountOperations {
    enum class Found { LocalUser, Gone, NotLocal };
    std::function<DWORD(const std::wstring& name, const std::wstring& comment)> add;  // NetUserAdd's status
    std::function<std::wstring(const std::wstring& name)> localSidOf;  // the computer's own user of that name
    std::function<Found(const std::wstring& sid, std::wstring& name)> localUserOf;
    std::function<std::wstring(const std::wstring& name)> commentOf;
    std::function<HRESULT(const std::wstring& sid, const std::wstring& name, std::wstring& profile)> createProfile;
    std::function<bool(const std::wstring& sid)> deleteProfile;
    std::function<bool(const std::wstring& sid)> profileGone;
    std::function<DWORD(const std::wstring& name)> deleteUser;  // NetUserDel's status
    std::function<void(DWORD milliseconds)> sleep;
};
AccountOperations WindowsAccounts();

struct StagedUser {
    std::wstring name, sid, profile;
    std::wstring failure;  // what could not be made, and why
};
// A local user with a profile, named in the record before it is made, its
// SID and profile folder as soon as they exist.
StagedUser MakeUser(Record& record, const wchar_t* tag, const AccountOperations& accounts);
// Its profile deleted (tried for a while), then the account, only where the
// recorded SID is a user of the computer's own account domain that carries
// the kit's mark; true when nothing of it is left to put back.
bool RemoveUser(Record& record, const wchar_t* tag, const AccountOperations& accounts, std::wstring& why);

// Loads a hive file as HKEY_USERS\<KitHive> for one use, and unloads it, tried
// again for a while; false where it would not load. `stuck` says so where it
// stays loaded.
bool WithKitHive(const std::wstring& file, const std::function<void(const std::wstring& root)>& use,
                 std::wstring& stuck);
// Unloads the kit's hive and the program's, where an ended kit or a program
// it ended left them; what stays loaded, or empty.
std::wstring UnloadLeftoverHives();
// Whether a run of the program over every profile holds its lock now (a
// deployment of it on this desktop, say).
bool ProgramRunInProgress();

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

// What the cases over every profile changed beyond the account (a user made
// for them, the Default profile, the detection marker, the account's own
// Startup shortcut), put back from the record.
enum class PutBackOutcome { Done, Failed, NeedsElevation };
// `said`: what was left as it is (set since by others), or could not be put back.
PutBackOutcome PutBackProfiles(std::wstring& said);
// What the cases over every profile will do, and what a put-back would put back, as lines to print.
std::vector<std::wstring> EveryProfilePlan();
std::vector<std::wstring> PendingPutBack();
// Whether a record of theirs waits to be put back (or cannot be read, unelevated).
bool ProfilesRecordPending();

// --- the kit's own processes ------------------------------------------------

// Starts `exe` with the arguments and environment block given and waits for
// its end, ending it past the time limit; its exit status, or nothing when it
// could not start.
std::optional<DWORD> RunToEnd(const std::wstring& exe, const std::wstring& arguments, std::vector<wchar_t> environment,
                              DWORD timeoutMilliseconds);

// A service of the kit's own, run as `account` (nullptr: LocalSystem), which
// starts the program with the APPDATA given. Fills the program's status and
// whether the service's window station is visible.
struct ServiceRun {
    DWORD error = 0;  // of the service set-up, when it failed
    const wchar_t* failedStep = nullptr;
    DWORD status = 0;
    bool stationVisible = true;
    bool shortcutKept = true;  // the one planted in the APPDATA given
};
ServiceRun RunAsService(const wchar_t* account, const std::wstring& program, const std::wstring& appData);
// Removes the services and folders a kit ended by force left; true when nothing is left.
bool PutBackServices();
int ServiceMain(const std::wstring& program, const std::wstring& appData);

// Writes to the console or to a redirected output, as UTF-8.
void Print(const std::wstring& line);

}  // namespace pilot
