// The operations that the remediation logic asks of Windows, as plain procedures.
//
// The logic never sees a Windows header: the few types and constants it needs are
// declared here in their Windows layout. platform/windows/ implements these on the
// real system; the unit tests link a test double in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The ANSI form of the version record that GetVersionExA fills in.
struct OSVERSIONINFOA {
    std::uint32_t dwOSVersionInfoSize;
    std::uint32_t dwMajorVersion;
    std::uint32_t dwMinorVersion;
    std::uint32_t dwBuildNumber;
    std::uint32_t dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA must keep its 148-byte ANSI layout");

// A predefined registry root, as the 32-bit value that Windows gives it.
using RegistryRoot = std::uint32_t;
constexpr RegistryRoot HKEY_CURRENT_USER = 0x80000001u;
constexpr RegistryRoot HKEY_LOCAL_MACHINE = 0x80000002u;
constexpr RegistryRoot HKEY_USERS = 0x80000003u;

// An open registry key; 0 is no key.
using RegistryKey = std::uintptr_t;
constexpr RegistryKey NoRegistryKey = 0;

constexpr std::uint32_t REG_SZ = 1;
constexpr std::int32_t ERROR_SUCCESS = 0;
constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr std::uint32_t FILE_ATTRIBUTE_REPARSE_POINT = 0x400;

// The system's error codes that the logic tells apart.
constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr std::uint32_t ERROR_SHARING_VIOLATION = 32;
constexpr std::uint32_t ERROR_LOCK_VIOLATION = 33;
constexpr std::uint32_t ERROR_CANT_RESOLVE_FILENAME = 1921;
constexpr std::uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
constexpr std::uint32_t WAIT_TIMEOUT = 258;
constexpr std::uint32_t ERROR_INTERNAL_ERROR = 1359;
// An opportunistic lock on the file is being broken: its owner has not let go yet.
constexpr std::uint32_t ERROR_OPLOCK_BREAK_IN_PROGRESS = 742;

// The longest path, terminator included, that Windows takes without the
// extended-length prefix from a program that does not declare itself
// long-path aware.
constexpr std::size_t MAX_PATH = 260;

// The process's exit status: what a deployment tool reads.
constexpr int ExitCompleted = 0;            // the start page was written, or the system was refused
constexpr int ExitFailed = 1;               // a failure ended the run, reported where it could be
constexpr int ExitStartPageNotWritten = 2;  // the run went through, but the start page is not set
constexpr int ExitStartupNotSearched = 3;   // the start page was written, but the Startup folder was not searched
constexpr int ExitNotRunAsUser = 4;         // run as a service account: nothing was changed
constexpr int ExitBadCommandLine = 5;       // an argument not understood, or /?: nothing was done
constexpr int ExitNotPrivileged = 6;        // every profile asked for, without the rights to load their hives
constexpr int ExitReportNotWritten = 7;     // repaired, but the report could not be written

// The caption of the program's own boxes: the removal's confirmation and the
// failure report.
constexpr wchar_t ProgramTitle[] = L"Desktop Remediation";

// A runtime service that failed: which operation (always a literal, so that a
// failure can be made without allocating), on what (a path or a name), and the
// system's error code for it, read straight after the failing call.
struct RunTimeFailure {
    std::wstring_view operation;
    std::wstring subject;
    std::uint32_t errorCode;
};

// Start-up: calls the program's Main once, hands anything that leaves it to
// ReportUnhandledFailure, and returns the process's exit status (above). No
// failure of any kind gets past it.
int RunMain() noexcept;

// Windows API functions: they never raise, and report through their result.
std::int32_t GetVersionExA(OSVERSIONINFOA& info);
std::uint32_t GetTickCount();
void Sleep(std::uint32_t milliseconds);
std::int32_t RegCreateKeyA(const RegistryRoot& root, const std::string& subKey, RegistryKey& key);
std::int32_t RegSetValueExA(const RegistryKey& key, const std::string& valueName, std::uint32_t reserved,
                            std::uint32_t type, const char* data, std::uint32_t byteCount);
std::int32_t RegCloseKey(const RegistryKey& key);

// A number as decimal digits, with a minus sign only when it is negative: the
// major version and an error code, without linking the runtime's printf engine.
std::wstring DecimalText(std::int64_t value);

// The text in the system's ANSI code page, for the registry's A functions.
std::string ToAnsiCodePage(const std::wstring& text);

// The command line as the process was started with it, program name included.
std::wstring ReadCommandLine();

// Runtime services: each raises RunTimeFailure when its system call fails.
// The user the process runs as, as a SID in its text form ("S-1-5-18").
std::wstring ReadProcessUserSid();
// An unset variable is no failure: it reads as empty text.
std::wstring ReadEnvironmentVariable(const std::wstring& name);
std::uint32_t QueryFileAttributes(const std::wstring& path);
// The attribute bits of the path's entry as its folder lists it, for a name
// that answers no query of its own (one pending deletion still is listed).
// The path's last part is matched as a name, never as a wildcard.
std::uint32_t ListedFileAttributes(const std::wstring& path);
// The absolute form of a path, as Windows would resolve it: "." and ".."
// taken out, "/" turned into "\\", doubled separators folded.
std::wstring GetFullPath(const std::wstring& path);
void DeleteFiles(const std::wstring& path);
// Where the process's window station is not visible (a service's, or a
// scheduled task's that runs whether the user is logged on or not) nobody could
// answer a box: none is shown, and it returns as if OK had been pressed.
void ShowMessageBox(const std::wstring& prompt, std::uint32_t style, const std::wstring& title);
// From now on no box is shown, not even the report of a failure: each
// returns as if OK had been pressed (/Quiet).
void ShowNoBoxes();

// Windows' own text for an error code, without its line ends.
std::wstring ErrorText(std::uint32_t errorCode);

// The run's report: the file is opened once for appending (made when it is
// not there) and kept open until the process ends; each line goes to it as
// UTF-8 with a CRLF end. `guarded`, for a privileged run: the folder is opened
// itself first and must be where the path names it (no link on the way); on a
// local volume, no one but SYSTEM, the Administrators group, TrustedInstaller,
// this account or an administrator may add files to it or own it; the file is
// then opened or made inside that folder, without following a link and
// without waiting on an opportunistic lock; one that is there must be a plain
// file with one name, which no one else may write to or own. A file it makes
// is for SYSTEM and the Administrators group alone. Raises what refused it.
void OpenLog(const std::wstring& path, bool guarded);
// False where the line could not be written.
bool WriteLogLine(const std::wstring& line);
// The local time as "2026-12-09 19:51:03".
std::wstring LocalTimeText();

// ---- Every profile on the desktop, from a privileged run ----
// These return the system's error code, 0 for success, and never raise: a
// failure concerns one profile, which the run reports before going on.

// True when the process token holds both SeBackupPrivilege and
// SeRestorePrivilege, enabled or not: what loading another user's hive needs.
bool HoldsHivePrivileges();
// Enables both, or disables them again.
std::uint32_t EnableHivePrivileges(bool enable);

// One subkey of ProfileList: its name (a SID, or anything else that is
// there), and what it says of the profile. `folder` is ProfileImagePath with
// the system's variables expanded; `state` the State bits (0 where missing).
struct ProfileListEntry {
    std::wstring keyName;
    std::wstring folder;
    std::uint32_t state = 0;
    bool roaming = false;  // CentralProfile names a server's copy
};
std::uint32_t ReadProfileList(std::vector<ProfileListEntry>& entries);
// The Default profile's folder, ProfileList's "Default" value expanded; empty
// where there is none.
std::wstring ReadDefaultProfileFolder();

// Whether HKEY_USERS holds a hive under this name (a signed-in user's SID).
bool HiveIsLoaded(const std::wstring& name);
// The names of every hive below HKEY_USERS.
std::uint32_t ListLoadedHives(std::vector<std::wstring>& names);
// Loads the hive file under HKEY_USERS\name (32: the file is in use), and
// unloads it.
std::uint32_t LoadHive(const std::wstring& name, const std::wstring& file);
std::uint32_t UnloadHive(const std::wstring& name);

// A REG_SZ or REG_EXPAND_SZ value as stored, variables unexpanded; empty
// where the key or the value is not there.
std::wstring ReadRegistryText(RegistryRoot root, const std::wstring& keyPath, const std::wstring& valueName);
// Creates or opens the key one level at a time without following a registry
// link (one found is refused: ERROR_CANT_RESOLVE_FILENAME), in the 64-bit
// view where there is one, and writes the value as REG_SZ.
std::uint32_t WriteRegistryText(RegistryRoot root, const std::wstring& keyPath, const std::wstring& valueName,
                                const std::wstring& valueText);

// Where Windows offers it (RedirectionGuard: Windows 10 22H2, Windows 11),
// the process no longer follows a junction that a non-administrator made, on
// any path it opens from now on; elsewhere nothing changes.
void RefuseUsersJunctions();

// One privileged run on the computer at a time: a mutex in a private
// namespace that only SYSTEM and administrators can make or open (where
// Windows has none, a mutex named in the Global namespace), waited for up to
// `milliseconds` (WAIT_TIMEOUT when another run still holds it), and released.
std::uint32_t AcquireRunLock(std::uint32_t milliseconds);
void ReleaseRunLock();

// Whether the folder is itself a volume mount point: a volume Windows mounted
// there (a User Profile Disk, a profile container), not a junction to a folder.
bool IsVolumeMountPoint(const std::wstring& folder);

// How a bounded piece of work ended.
enum class BoundedRun {
    Ended,        // within the time given
    Cancelled,    // past it: its waiting file operations were cancelled, and it ended then
    LeftRunning,  // past it, and still waiting after the cancel: it runs on, and nobody waits for it
};
// Runs `work` on a thread of its own, waiting up to `milliseconds` for it.
// Work left running keeps its own copy of `work` (and so of what it holds)
// until it ends, or the process does. Where no thread can be made, the work
// runs here, unbounded.
BoundedRun RunWithin(std::uint32_t milliseconds, std::function<void()> work);

enum class GuardedDeletion {
    Deleted,          // it was a file at the expected place, and is gone
    NotThere,         // no such file, or no such folder on the way
    NotAFile,         // a folder of that name
    PendingDeletion,  // deleted already, while another program still holds it open: as good as gone
    LinkOnTheWay,     // a folder on the way is a junction or link (`stoppedAt`): not gone through
    LeadsElsewhere,   // the file is not at the expected place: left alone
    NotOpened,   // a folder on the way (`stoppedAt`) or the file could not be opened (32: another program holds it)
    NotDeleted,  // it opened, and would not go (5: read-only)
};
// Opens `folder` itself (a volume mount point there is gone through, any other
// reparse point refused), then each of `below` relative to the handle of the
// one before, and `name` relative to the last: what a user renames or
// replaces by its path meanwhile is not reached, as the handles hold the
// folders themselves. Each is opened without following a reparse point, and
// one is refused; each must also have the final path of its parent followed
// by its own name (a link that Windows does not mark as a reparse point is
// refused so). The file is deleted through its own handle. Nothing waits on
// an opportunistic lock: a file whose lock is being broken is NotOpened with
// ERROR_OPLOCK_BREAK_IN_PROGRESS, as one held open. The error code goes with
// NotOpened and NotDeleted; `stoppedAt` names the folder that was refused or
// would not open; a final path that cannot be had is NotOpened, never NotThere.
GuardedDeletion DeleteFileBelow(const std::wstring& folder, const std::vector<std::wstring>& below,
                                const std::wstring& name, std::wstring& stoppedAt, std::uint32_t& errorCode);

// Tells the user which failure ended the run, where a box can be seen. The
// caller then ends the process.
// It never raises: a report whose text cannot be made still says that the run
// stopped, and one that cannot be shown at all is given up.
void ReportUnhandledFailure(const RunTimeFailure& failure) noexcept;

}  // namespace platform
