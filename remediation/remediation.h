// The remediation run: the operating-system gate and the two repairs.
#pragma once

#include <string>

#include "platform/platform.h"

namespace remediation {

// How a run that no failure stopped went, for the exit status.
enum class Outcome {
    Completed,                 // the start page was written, or the system was refused
    StartPageNotWritten,       // the key did not open, or the value was not set
    StartupFolderNotSearched,  // the start page was written, but the Startup folder could not be looked in
    NotRunAsUser,              // a service account's run: nothing was looked at or changed
};

// The whole run, called once at start-up. A failure that it does not absorb
// (in practice a shortcut that cannot be deleted) travels out to the caller.
Outcome Main();

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

// Deletes the file, waiting up to about two seconds while another program
// holds it open without delete sharing. True when this call removed it; false
// when it was already gone, or deleted by another program that still holds it
// open. Any other failure travels out.
bool DeleteFileWhenReleased(const std::wstring& path);

// Creates or opens the key below the root and writes the value as REG_SZ,
// terminator included. True when the value was written; nothing is shown
// either way.
bool SetRegistryText(const platform::RegistryRoot& root, const std::wstring& keyPath, const std::wstring& valueName,
                     const std::wstring& valueText);

}  // namespace remediation
