// The remediation run: the operating-system gate and the two repairs.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace remediation {

// How a run that no failure stopped went, for the exit status. Over every
// profile, the most serious outcome of any profile, in this order.
enum class Outcome {
    Completed,                 // the start page was written, or the system was refused
    ReportNotWritten,          // as Completed, but the report asked for could not be opened or written
    StartupFolderNotSearched,  // the start page was written, but the Startup folder could not be looked in;
                               // over every profile also one left alone (mandatory, temporary, a hive in use ...)
    StartPageNotWritten,       // the key did not open, or the value was not set
    ShortcutNotDeleted,        // over every profile: a shortcut that could not be deleted, or a profile whose
                               // repair failed
    NotRunAsUser,              // a service account's run: nothing was looked at or changed
    BadCommandLine,            // an argument not understood, or /? asked: nothing done
    NotPrivileged,             // every profile asked for without the rights to load hives: nothing done
};

// The more serious of two outcomes of a repair.
inline Outcome Worse(Outcome a, Outcome b) { return a > b ? a : b; }

// The process's exit status for an outcome.
int ExitStatus(Outcome outcome);

// The whole run, called once at start-up. A failure that it does not absorb
// (in practice a shortcut that cannot be deleted) travels out to the caller.
Outcome Main();

// What the command line asks for: nothing (the signed-in user's own run),
// /AllProfiles, /Log FILE, /Quiet and /?, in any order and letter case.
struct Arguments {
    bool allProfiles = false;
    bool quiet = false;  // no box at all
    bool help = false;   // what the program does, and nothing done
    std::wstring logFile;
};
// False for anything else: an unknown or repeated argument, /Log without FILE.
bool ParseCommandLine(const std::wstring& commandLine, Arguments& arguments);
// Where the arguments start, past the program's name.
std::size_t SkipProgramName(const std::wstring& commandLine);
// The next argument from `position` on, as the C runtime splits a command
// line (quotes group, a backslash escapes a quote); false when none is left.
bool NextArgument(const std::wstring& commandLine, std::size_t& position, std::wstring& argument);

// The run's report, where /Log asked for one: a line for each profile (or the
// user's own run), with the local time, who, which folder and what was done.
// A control character in any field (a user may write them into their hive)
// is written as "<U+000A>", so that each line stays one profile's, with its
// four fields; a field too long is cut, saying so, so that no line passes
// 2,048 characters. The report never holds the repair back: one that could
// not be opened or written only changes the status of a run that did all
// else (ReportNotWritten).
class Report {
public:
    // `opened`: where a report was asked for, whether its file opened.
    Report(bool enabled, bool opened) : enabled_(enabled), failed_(enabled && !opened) {}
    void Line(const std::wstring& who, const std::wstring& folder, const std::wstring& what) const;
    // The last line, with the status the run ends with: `outcome`, made
    // ReportNotWritten where it was Completed and the report was not written.
    // (In place rather than returned: a call in tail position at the end of
    // Main gave an x64 build that Wine's unwinder, under a debugger, crashed
    // in when an exception left the run.)
    void Close(Outcome& outcome) const;
    // The last line of a run that a failure ends (status 1).
    void Summary(int exitStatus) const;

private:
    bool enabled_;
    mutable bool failed_;
};

// A text a user chose (their AppData, a folder named in it), cut to a few
// hundred characters for the report, saying that it was cut.
std::wstring Shortened(const std::wstring& usersText, std::size_t longest = 300);

// ": <Windows' own text> (error <code>)", as the report gives a failure.
void AppendError(std::wstring& text, std::uint32_t errorCode);

// What was done for one profile, and why not where it was not.
struct ProfileResult {
    Outcome outcome = Outcome::Completed;
    std::wstring what;
};

// Every user's profile listed in ProfileList and the Default profile, from a
// privileged run: the shortcut and the start page of each, and the marker a
// detection rule reads when all went well.
Outcome RemediateAllProfiles(const Report& report);

// The operating system's major version as decimal text, for example "6".
std::wstring GetOSMajorVersion();

// The path in the form that Windows takes: as it is when it is shorter than
// MAX_PATH, otherwise its full form with the extended-length prefix
// ("\\?\C:\..." or "\\?\UNC\server\share\..."), which lifts the limit for a
// program that does not declare itself long-path aware.
std::wstring PathForWindows(const std::wstring& path);

// No such file, or no such folder on the way to it: what Windows answers when
// nothing is there, as opposed to when it could not look.
inline bool IsNotFound(std::uint32_t errorCode) {
    return errorCode == platform::ERROR_FILE_NOT_FOUND || errorCode == platform::ERROR_PATH_NOT_FOUND;
}

// True when the path names something other than a directory. A path that
// cannot be queried, for whatever reason, reads as false; `searched` then says
// whether the answer was that nothing is there (no such file or folder), or
// that the folder could not be looked in at all (an unreachable server, a name
// no path may hold, no access).
// A name that answers "access denied" is looked for in its folder's listing:
// one pending deletion is still listed there.
bool FileExists(const std::wstring& path, bool& searched);

// True when the path names a folder that is there; any failure reads as false.
bool FolderExists(const std::wstring& path);
// The path's attribute bits, or 0 where it cannot be queried (Windows gives
// every file and folder at least one bit).
std::uint32_t AttributesOrNone(const std::wstring& path);

// Deletes the file, waiting up to about two seconds while another program
// holds it open without delete sharing. True when this call removed it; false
// when it was already gone, or deleted by another program that still holds it
// open. Any other failure travels out.
bool DeleteFileWhenReleased(const std::wstring& path);

// The shell reads the Startup shortcuts at logon and security software opens
// new files, each for a moment: long enough to see, too short to report. A
// shortcut held open that way is tried again every pause, for the patience.
constexpr std::uint32_t HoldPatienceMilliseconds = 2000;
constexpr std::uint32_t RetryPauseMilliseconds = 100;
inline bool IsHeldByAnotherProgram(std::uint32_t errorCode) {
    return errorCode == platform::ERROR_SHARING_VIOLATION || errorCode == platform::ERROR_LOCK_VIOLATION ||
           errorCode == platform::ERROR_OPLOCK_BREAK_IN_PROGRESS;
}

// Creates or opens the key below the root and writes the value as REG_SZ,
// terminator included. True when the value was written; nothing is shown
// either way.
bool SetRegistryText(const platform::RegistryRoot& root, const std::wstring& keyPath, const std::wstring& valueName,
                     const std::wstring& valueText);

}  // namespace remediation
