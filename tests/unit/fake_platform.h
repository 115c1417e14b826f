// A scripted stand-in for the platform operations, linked into the unit tests
// in place of the Windows implementation. Each test sets up what the system
// holds, runs the logic, and reads back every call that reached the platform.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

struct MessageBoxShown {
    std::wstring prompt;
    std::uint32_t style;
    std::wstring title;
};

struct RegistryCall {
    std::string operation;  // "RegCreateKeyA", "RegSetValueExA" or "RegCloseKey"
    platform::RegistryRoot root = 0;
    platform::RegistryKey key = 0;
    std::string text;  // the key path or the value name, as the ANSI bytes received
    std::uint32_t reserved = 0;
    std::uint32_t type = 0;
    std::string data;  // exactly the byte count's bytes
};

struct System {
    // What GetVersionExA writes into dwMajorVersion; nothing when it fails.
    std::optional<std::uint32_t> majorVersion = 6u;
    std::optional<platform::OSVERSIONINFOA> versionRecordReceived;

    std::map<std::wstring, std::wstring> environment;  // names compared without regard to case
    std::map<std::wstring, std::uint32_t> files;       // path -> attribute bits, folders included
    std::map<std::wstring, std::uint32_t> deleteErrors;
    std::uint32_t queryError = 2;  // ERROR_FILE_NOT_FOUND for a path not in files
    // Deleted by another program that still holds them open: as on Windows
    // before 10 version 1809, and on SMB shares, their names answer 5 (access
    // denied) to a deletion and to a query alike until the handle closes.
    std::set<std::wstring> deletePending;
    // What listing a folder for a name not in `files` fails with; by default
    // what querying it does.
    std::optional<std::uint32_t> listError;

    // The user the process runs as.
    std::wstring userSid = L"S-1-5-21-1004336348-1177238915-682003330-1001";

    // A file another program holds open without delete sharing: deleting it
    // fails with `error` until the tick count reaches `releasedAt`.
    struct Hold {
        std::uint32_t error;
        std::uint32_t releasedAt;
    };
    std::map<std::wstring, Hold> held;

    // The clock: GetTickCount reads it and Sleep moves it on.
    std::uint32_t tickCount = 1000;
    std::vector<std::uint32_t> sleeps;

    // What GetFullPath makes of a path; by default Windows' tidying of
    // separators alone: "/" becomes "\" and doubled ones fold, but not the
    // two that open a UNC path.
    std::map<std::wstring, std::wstring> fullPaths;
    std::optional<std::uint32_t> fullPathError;

    // Thrown by ReadEnvironmentVariable instead of answering: a failure of a
    // kind that no procedure expects.
    std::exception_ptr environmentThrows;

    // What every box raises instead of showing, as when user32 cannot be loaded.
    std::optional<platform::RunTimeFailure> boxFailure;

    std::int32_t createKeyResult = platform::ERROR_SUCCESS;
    platform::RegistryKey keyGiven = 0x5EED;
    std::int32_t setValueResult = platform::ERROR_SUCCESS;

    std::vector<std::wstring> calls;  // every operation, with its text argument
    std::vector<MessageBoxShown> boxes;
    bool noBoxes = false;  // /Quiet: ShowNoBoxes was called
    std::vector<RegistryCall> registry;
    std::vector<std::wstring> deleted;
    std::vector<platform::RunTimeFailure> reports;

    std::wstring commandLine = L"remediate-x64.exe";

    // The report: where /Log opened it, what opening it fails with, its lines.
    std::optional<std::wstring> logOpened;
    std::optional<std::uint32_t> logOpenError;
    bool logGuarded = false;
    // What a guarded opening refuses the file with (a link, a hard link, an owner not to be trusted).
    std::optional<std::uint32_t> logRefusal;
    std::vector<std::wstring> log;
    bool logWritesFail = false;  // the disk full, the share gone: every line is lost

    // ---- Every profile, from a privileged run ----
    bool holdsHivePrivileges = true;
    bool privilegesEnabled = false;
    std::vector<platform::ProfileListEntry> profileList;
    std::wstring defaultProfileFolder;
    // A hive's values, as "key path|value name" -> text.
    using Hive = std::map<std::wstring, std::wstring>;
    // Below HKEY_USERS, by name: the signed-in users' hives, and those loaded.
    std::map<std::wstring, Hive> loadedHives;
    std::map<std::wstring, std::wstring> loadedFrom;  // hive name -> its file
    // Hive files, by path: written back at unload, as Windows does.
    std::map<std::wstring, Hive> hiveFiles;
    std::map<std::wstring, std::uint32_t> loadErrors;   // file -> what loading it fails with
    std::uint32_t unloadFailures = 0;                   // unloads that fail (error 5) before one goes through
    std::vector<std::wstring> hiveCalls;                // "load NAME FILE", "unload NAME", each with the privileges
    Hive machine;                                       // HKEY_LOCAL_MACHINE's values, the marker's among them
    std::map<std::wstring, std::uint32_t> writeErrors;  // "root-qualified key path" -> error
    // Folders that lead elsewhere (a junction or link): path -> final path.
    std::map<std::wstring, std::wstring> leadsTo;
    std::map<std::wstring, std::uint32_t> openErrors;  // a folder or file -> what opening it fails with
    // The lock of runs over every profile: another run holds it; this run holds it.
    bool runLockHeldElsewhere = false;
    bool runLockHeld = false;
    // Raised by the first read of a value in this hive (by its name below HKEY_USERS).
    std::map<std::wstring, std::exception_ptr> readThrows;
    // The most hives of the program's own name loaded at once while a shortcut was looked for.
    std::size_t hivesLoadedDuringFileWork = 0;
    // Profile folders that are volume mount points (a User Profile Disk); their attributes say reparse point.
    std::set<std::wstring> mountPoints;
    // Shortcuts whose open waits on an opportunistic lock that a user holds
    // and never lets go of: path -> whether cancelling the thread's I/O ends
    // the wait (with 995, ERROR_OPERATION_ABORTED).
    std::map<std::wstring, bool> oplocked;
    // A hive file that goes (deleted or renamed by its user) once its hive is first unloaded.
    std::wstring hiveFileGoesAfterUnload;
    std::vector<platform::BoundedRun> boundedRuns;

    // A profile as Windows keeps it: its ProfileList entry, its folder, and
    // its hive file with these values; signed in, its hive is loaded too.
    void AddProfile(const std::wstring& sid, const std::wstring& folder, Hive hive = {}, bool signedIn = false) {
        profileList.push_back({sid, folder, 0, false});
        files[folder] = platform::FILE_ATTRIBUTE_DIRECTORY;
        files[folder + L"\\NTUSER.DAT"] = 0x20;
        if (signedIn)
            loadedHives[sid] = hive;
        else
            hiveFiles[folder + L"\\NTUSER.DAT"] = hive;
    }

    // APPDATA naming a folder that is there, as it does on a signed-in desktop.
    void SetAppData(const std::wstring& path) {
        environment[L"APPDATA"] = path;
        files[path] = platform::FILE_ATTRIBUTE_DIRECTORY;
    }
};

// The system the fake platform answers from; Reset() gives a new one.
System& Current();
void Reset();

// The fake's ANSI code page: ASCII as itself, every other character as two
// bytes, so that a count of characters and a count of bytes differ.
std::string FakeAnsi(const std::wstring& text);

std::wstring Upper(std::wstring text);

}  // namespace fake

#include <gtest/gtest.h>

// Each test starts from an empty system: version 6, no environment, no files.
class FakeSystemTest : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
    fake::System& system = fake::Current();
};
