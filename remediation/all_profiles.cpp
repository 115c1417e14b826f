#include <iterator>
#include <memory>
#include <new>
#include <optional>

#include "remediation/remediation.h"
#include "start_page_url.h"

namespace remediation {
namespace {

// The Startup folder below AppData, a folder at a time.
constexpr const wchar_t* StartupBelowAppData[] = {L"Microsoft", L"Windows", L"Start Menu", L"Programs", L"Startup"};
constexpr wchar_t ShortcutName[] = L"Internet Explorer.lnk";
constexpr wchar_t ShellFoldersKey[] = L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr wchar_t StartPageKey[] = L"\\Software\\Microsoft\\Internet Explorer\\Main";
constexpr wchar_t StartPageValueName[] = L"Start Page";
constexpr wchar_t MarkerKey[] = L"SOFTWARE\\Desktop Remediation";
constexpr wchar_t UserProfileVariable[] = L"%USERPROFILE%";
constexpr wchar_t DefaultProfile[] = L"Default";
// Below HKEY_USERS, never under the user's SID, which Windows loads the hive
// under at sign-in: a user signing in meanwhile would get a temporary profile.
constexpr wchar_t HiveNamePrefix[] = L"Desktop Remediation ";
// Windows' longest path, and its longest name of a file or folder.
constexpr std::size_t LongestPath = 32767;
constexpr std::size_t LongestName = 255;
// A run over every profile of a desktop takes seconds: one started meanwhile
// (a deployment tool's retry) waits for it that long, then leaves it be.
constexpr std::uint32_t RunLockPatienceMilliseconds = 30000;
// The most one profile's repair may take: its two hive loads and unloads (up
// to 2 s of retries each) and a held shortcut's patience (2 s) fit in it many
// times over. A repair that takes longer waits on what a user holds (an
// opportunistic lock on the shortcut or on the hive file): the run goes on
// without it.
constexpr std::uint32_t ProfilePatienceMilliseconds = 20000;  // as the report says it

constexpr std::uint32_t MandatoryState = 0x0001;
constexpr std::uint32_t TemporaryState = 0x0800;
constexpr std::uint32_t UnloadAttempts = 10;
constexpr std::uint32_t UnloadPauseMilliseconds = 200;

constexpr Outcome NotRemediated = Outcome::StartupFolderNotSearched;

wchar_t FoldAscii(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool StartsWithFolded(const std::wstring& text, const std::wstring& prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (FoldAscii(text[i]) != FoldAscii(prefix[i])) return false;
    return true;
}

// Local and domain accounts (S-1-5-21-...) and Entra ID accounts
// (S-1-12-1-...): a SID of digits and dashes only, so that a ".bak" copy of
// an entry, and every service and system account, is no user.
bool IsUserSid(const std::wstring& name) {
    if (name.rfind(L"S-1-5-21-", 0) != 0 && name.rfind(L"S-1-12-1-", 0) != 0) return false;
    for (std::size_t i = 2; i < name.size(); ++i)
        if (name[i] != L'-' && (name[i] < L'0' || name[i] > L'9')) return false;
    return true;
}

// A file that is there, and no link: a hive file that is a link could lead
// the load to another user's hive. One pending deletion answers no query,
// and is not there for a load either.
bool PlainFileIsThere(const std::wstring& path) {
    const std::uint32_t attributes = AttributesOrNone(PathForWindows(path));
    return attributes && !(attributes & (platform::FILE_ATTRIBUTE_DIRECTORY | platform::FILE_ATTRIBUTE_REPARSE_POINT));
}

// The report's fixed texts are ASCII: narrow literals take half the bytes.
void AppendAscii(std::wstring& text, const char* ascii) {
    while (*ascii) text += static_cast<wchar_t>(*ascii++);
}

std::wstring Text(const char* ascii) {
    std::wstring text;
    AppendAscii(text, ascii);
    return text;
}

ProfileResult Said(Outcome outcome, const char* what) { return {outcome, Text(what)}; }

// A fixed text with a name in it: a path, a setting, which a user may have
// chosen, and is cut short so.
ProfileResult SaidWith(Outcome outcome, const char* before, const std::wstring& name, const char* after = "") {
    ProfileResult result = Said(outcome, before);
    result.what += Shortened(name);
    AppendAscii(result.what, after);
    return result;
}

// A folder refused for being a junction or link, as every refusal names it.
constexpr char LinkRefused[] = " is a junction or link, not gone through";

ProfileResult Failed(Outcome outcome, const char* what, std::uint32_t errorCode) {
    ProfileResult result = Said(outcome, what);
    AppendError(result.what, errorCode);
    return result;
}

// Both outcomes, the more serious one counting.
ProfileResult Together(ProfileResult first, const ProfileResult& second) {
    first.what += L"; ";
    first.what += second.what;
    first.outcome = Worse(first.outcome, second.outcome);
    return first;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A name Windows takes as it is written: not "." or "..", no character that
// names a stream, a device or a pattern, none that Windows would trim away.
bool IsPlainName(const std::wstring& name) {
    if (name == L"." || name == L".." || name.back() == L'.' || name.back() == L' ') return false;
    for (wchar_t c : name)
        if (c < 0x20 || c == 0x7F || std::wstring(L"<>:\"|?*").find(c) != std::wstring::npos) return false;
    return true;
}

// The folders from the profile folder down to AppData, where AppData (its
// %USERPROFILE% already the profile folder) names the profile folder or a
// folder below it, plainly. False for anything else: another folder, drive
// or server, a device, "..", or a form that Windows does not tidy ("\\?\").
bool FoldersBelowProfile(const std::wstring& appData, const std::wstring& profileFolder,
                         std::vector<std::wstring>& below) {
    if (!StartsWithFolded(appData, profileFolder)) return false;
    const std::wstring rest = appData.substr(profileFolder.size());
    if (!rest.empty() && !IsSeparator(rest[0])) return false;  // "C:\Users\ann2" is not below "C:\Users\ann"
    for (std::size_t start = 0; start < rest.size();) {
        std::size_t end = start;
        while (end < rest.size() && !IsSeparator(rest[end])) ++end;
        if (end > start) {
            below.push_back(rest.substr(start, end - start));
            if (!IsPlainName(below.back())) return false;
        }
        start = end + 1;
    }
    return true;
}

// Deletes the shortcut in the profile's Startup folder, going from the
// profile folder down one folder at a time, never through a junction or link
// that a user may have made on the way, and only where the shortcut really is
// there.
ProfileResult RemoveShortcut(const std::wstring& profileFolder, std::vector<std::wstring> below) {
    below.insert(below.end(), std::begin(StartupBelowAppData), std::end(StartupBelowAppData));
    std::size_t length = profileFolder.size() + 1 + sizeof(ShortcutName) / sizeof(wchar_t);
    for (const std::wstring& name : below) {
        length += name.size() + 1;
        if (name.size() > LongestName)
            return Failed(Outcome::ShortcutNotDeleted, "AppData names a path Windows will not take",
                          platform::ERROR_FILENAME_EXCED_RANGE);
    }
    if (length > LongestPath)
        return Failed(Outcome::ShortcutNotDeleted, "AppData names a path Windows will not take",
                      platform::ERROR_FILENAME_EXCED_RANGE);

    const std::uint32_t started = platform::GetTickCount();
    for (;;) {
        std::wstring stoppedAt;
        std::uint32_t error = 0;
        switch (platform::DeleteFileBelow(profileFolder, below, ShortcutName, stoppedAt, error)) {
            case platform::GuardedDeletion::Deleted: return Said(Outcome::Completed, "shortcut removed");
            case platform::GuardedDeletion::NotThere:
            case platform::GuardedDeletion::NotAFile:
            case platform::GuardedDeletion::PendingDeletion: return Said(Outcome::Completed, "no shortcut");
            case platform::GuardedDeletion::LinkOnTheWay:
                return SaidWith(NotRemediated, "Startup folder not searched: ", stoppedAt, LinkRefused);
            case platform::GuardedDeletion::LeadsElsewhere:
                return Said(NotRemediated,
                            "the shortcut's path leads out of the profile (a junction or link): left alone");
            case platform::GuardedDeletion::NotDeleted:
                return Failed(Outcome::ShortcutNotDeleted, "the shortcut could not be deleted", error);
            case platform::GuardedDeletion::NotOpened: break;
        }
        // Held open by another program for a moment, as in the user's run;
        // any other failure to open says nothing of whether a shortcut is there.
        if (!IsHeldByAnotherProgram(error))
            return Failed(NotRemediated, "the Startup folder could not be looked in", error);
        if (platform::GetTickCount() - started >= HoldPatienceMilliseconds)
            return Failed(Outcome::ShortcutNotDeleted, "the shortcut could not be deleted", error);
        platform::Sleep(RetryPauseMilliseconds);
    }
}

// The Startup folder that the profile's own AppData names, searched only
// where it is inside the profile folder: a user may point their own setting
// at any folder or server, and what a redirected AppData holds is the user's
// own run's to clean.
ProfileResult RemoveShortcutOfAppData(std::wstring appData, const std::wstring& profileFolder) {
    // %USERPROFILE% means this profile's folder; any other variable is the
    // user's session's alone.
    if (appData.empty()) appData = L"%USERPROFILE%\\AppData\\Roaming";
    if (StartsWithFolded(appData, UserProfileVariable))
        appData.replace(0, sizeof(UserProfileVariable) / sizeof(wchar_t) - 1, profileFolder);
    if (appData.size() > LongestPath)
        return Failed(Outcome::ShortcutNotDeleted, "AppData names a path Windows will not take",
                      platform::ERROR_FILENAME_EXCED_RANGE);
    std::vector<std::wstring> below;
    if (appData.find(L'%') != std::wstring::npos)
        return SaidWith(NotRemediated,
                        "Startup folder not searched: only the user's own session expands AppData: ", appData);
    if (!FoldersBelowProfile(appData, profileFolder, below))
        return SaidWith(NotRemediated,
                        "Startup folder not searched: AppData leads out of the profile folder (redirected: the user's "
                        "own run is the way for it): ",
                        appData);
    return RemoveShortcut(profileFolder, below);
}

std::uint32_t UnloadWithRetries(const std::wstring& hive) {
    // Windows may hold the hive a moment longer than the last key handle.
    platform::EnableHivePrivileges(true);
    std::uint32_t error = 0;
    for (std::uint32_t attempt = 0; attempt < UnloadAttempts; ++attempt) {
        error = platform::UnloadHive(hive);
        if (!error) break;
        platform::Sleep(UnloadPauseMilliseconds);
    }
    platform::EnableHivePrivileges(false);
    return error;
}

ProfileResult StaysLoaded(const std::wstring& hive, std::uint32_t error) {
    ProfileResult stuck = SaidWith(NotRemediated, "its hive stays loaded as HKEY_USERS\\", hive,
                                   " (the user cannot sign in properly until it is unloaded or the computer restarts)");
    AppendError(stuck.what, error);
    return stuck;
}

// Runs `use` with the name below HKEY_USERS of the profile's hive: the one
// Windows loaded at the user's sign-in, in place; otherwise its file, loaded
// under a name of the program's own for this one use, the privileges on only
// around the load and the unload. False, with why in `failed`, where it could
// not be loaded or stays loaded.
template <typename Use>
bool WithHive(const std::wstring& who, const std::wstring& hiveFile, bool signedIn, ProfileResult& failed, Use use) {
    if (signedIn) {
        use(who);
        return true;
    }
    // Loading makes a hive file that is not there, in a folder a user may
    // write: it is looked at before each load, as it may go between two.
    if (!PlainFileIsThere(hiveFile)) {
        failed = Said(NotRemediated, "not remediated: no NTUSER.DAT");
        return false;
    }
    const std::wstring hive = HiveNamePrefix + who;
    std::uint32_t error = platform::EnableHivePrivileges(true);
    if (!error) error = platform::LoadHive(hive, PathForWindows(hiveFile));
    platform::EnableHivePrivileges(false);
    if (error == platform::ERROR_SHARING_VIOLATION) {
        failed =
            Said(NotRemediated, "not remediated: its hive is in use (the user may be signing in); run again later");
        return false;
    }
    if (error) {
        failed = Failed(NotRemediated, "not remediated: its hive could not be loaded", error);
        return false;
    }
    try {
        use(hive);
    } catch (...) {
        UnloadWithRetries(hive);
        throw;
    }
    error = UnloadWithRetries(hive);
    if (!error) return true;
    failed = StaysLoaded(hive, error);
    return false;
}

// One profile: its AppData read from its hive, the shortcut removed with no
// hive of the profile loaded (a file a user holds keeps no hive loaded), then
// the start page written in its hive.
ProfileResult RepairProfile(const std::wstring& who, const std::wstring& profileFolder, bool signedIn) {
    const std::wstring hiveFile = profileFolder + L"\\NTUSER.DAT";

    std::wstring appData;
    ProfileResult failed;
    if (!WithHive(who, hiveFile, signedIn, failed, [&](const std::wstring& hive) {
            appData = platform::ReadRegistryText(platform::HKEY_USERS, hive + ShellFoldersKey, L"AppData");
        }))
        return failed;
    // "...\Roaming\" names the same folder as "...\Roaming".
    while (appData.size() > 3 && IsSeparator(appData.back())) appData.pop_back();

    ProfileResult result = RemoveShortcutOfAppData(appData, profileFolder);
    // As in the user's own run: a shortcut that would not go stops the
    // profile's repair before its start page.
    if (result.outcome == Outcome::ShortcutNotDeleted) return result;

    std::uint32_t error = 0;
    // A user who signed in meanwhile has their hive loaded by Windows.
    signedIn = signedIn || (who != DefaultProfile && platform::HiveIsLoaded(who));
    if (!WithHive(who, hiveFile, signedIn, failed, [&](const std::wstring& hive) {
            error = platform::WriteRegistryText(platform::HKEY_USERS, hive + StartPageKey, StartPageValueName,
                                                StartPageUrl);
        }))
        return Together(result, failed);
    if (error) return Together(result, Failed(Outcome::StartPageNotWritten, "start page not written", error));
    result.what += L"; start page written";
    return result;
}

ProfileResult RepairListedProfile(const platform::ProfileListEntry& entry) {
    const bool signedIn = platform::HiveIsLoaded(entry.keyName);
    if ((entry.state & MandatoryState) || PlainFileIsThere(entry.folder + L"\\NTUSER.MAN"))
        return Said(NotRemediated, "not remediated: a mandatory profile, whose changes are discarded at sign-out");
    if (entry.state & TemporaryState) return Said(NotRemediated, "not remediated: a temporary profile");
    if (entry.roaming && !signedIn)
        return Said(NotRemediated,
                    "not remediated: a roaming profile whose user is not signed in (the server's copy may replace it): "
                    "run the program in the user's own session");
    return RepairProfile(entry.keyName, entry.folder, signedIn);
}

// What stopped one profile's repair, as its line says it: the profile's own
// failure, which stops no other.
ProfileResult FailedInside(const platform::RunTimeFailure& failure) {
    ProfileResult result{Outcome::ShortcutNotDeleted, Text("failed: ")};
    result.what += failure.operation;
    if (!failure.subject.empty()) result.what += L" " + failure.subject;
    AppendError(result.what, failure.errorCode);
    return result;
}

// One profile's repair, whatever it raises.
ProfileResult RepairCaught(const std::wstring& who, const std::wstring& folder,
                           const platform::ProfileListEntry* listed) {
    try {
        // The folder itself, asked once: a junction or link is refused before
        // its hive is touched; a volume Windows mounted there is the profile.
        const std::uint32_t attributes = AttributesOrNone(PathForWindows(folder));
        if (!(attributes & platform::FILE_ATTRIBUTE_DIRECTORY))
            return {Outcome::Completed, Text("left alone: its profile folder is not there")};
        if ((attributes & platform::FILE_ATTRIBUTE_REPARSE_POINT) &&
            !platform::IsVolumeMountPoint(PathForWindows(folder)))
            return SaidWith(NotRemediated, "not remediated: ", folder, LinkRefused);
        return listed ? RepairListedProfile(*listed) : RepairProfile(who, folder, false);
    } catch (const platform::RunTimeFailure& failure) {
        return FailedInside(failure);
    } catch (const std::bad_alloc&) {
        return FailedInside({L"Allocating memory", {}, platform::ERROR_NOT_ENOUGH_MEMORY});
    } catch (...) {
        return FailedInside({L"An internal step", {}, platform::ERROR_INTERNAL_ERROR});
    }
}

// A profile whose folder is there; one whose folder is gone is a stale entry,
// named in the report and not counted. The repair runs on a thread of its
// own: one that waits past the patience on what a user holds is left to
// itself, and the run goes on to the next profile. Only this thread writes
// the report.
Outcome Remediate(const Report& report, const std::wstring& who, const std::wstring& folder,
                  const platform::ProfileListEntry* listed) {
    struct Work {
        std::wstring who, folder;
        std::optional<platform::ProfileListEntry> listed;
        ProfileResult result;
    };
    const auto work = std::make_shared<Work>(Work{who, folder, {}, {}});
    if (listed) work->listed = *listed;
    const platform::BoundedRun ended = platform::RunWithin(ProfilePatienceMilliseconds, [work] {
        work->result = RepairCaught(work->who, work->folder, work->listed ? &*work->listed : nullptr);
    });
    const ProfileResult result =
        ended == platform::BoundedRun::Ended
            ? work->result
            : Said(NotRemediated,
                   "not remediated: another program kept its shortcut or hive file waiting for more than 20 s (an "
                   "opportunistic lock); run again later");
    report.Line(who, folder, result.what);
    return result.outcome;
}

// Hives of the program's name that a run ended before its time left loaded:
// each keeps its user from signing in properly until it goes.
Outcome UnloadLeftoverHives(const Report& report) {
    std::vector<std::wstring> names;
    if (const std::uint32_t error = platform::ListLoadedHives(names)) {
        report.Line(L"-", L"HKEY_USERS", Failed(NotRemediated, "the loaded hives could not be listed", error).what);
        return NotRemediated;
    }
    Outcome worst = Outcome::Completed;
    for (const std::wstring& name : names) {
        if (!StartsWithFolded(name, HiveNamePrefix)) continue;
        const std::uint32_t error = UnloadWithRetries(name);
        ProfileResult result =
            error ? StaysLoaded(name, error) : Said(Outcome::Completed, "unloaded: an earlier run left it loaded");
        report.Line(L"-", L"HKEY_USERS\\" + name, result.what);
        worst = Worse(worst, result.outcome);
    }
    return worst;
}

Outcome RemediateLocked(const Report& report) {
    Outcome worst = UnloadLeftoverHives(report);
    std::vector<platform::ProfileListEntry> entries;
    if (const std::uint32_t error = platform::ReadProfileList(entries)) {
        report.Line(L"-", L"-", Failed(NotRemediated, "ProfileList could not be read", error).what);
        return NotRemediated;
    }
    for (const platform::ProfileListEntry& entry : entries)
        if (IsUserSid(entry.keyName)) worst = Worse(worst, Remediate(report, entry.keyName, entry.folder, &entry));

    // The profile that every new user's is copied from.
    const std::wstring defaultFolder = platform::ReadDefaultProfileFolder();
    if (defaultFolder.empty())
        report.Line(DefaultProfile, L"-", Text("left alone: ProfileList names no Default profile"));
    else
        worst = Worse(worst, Remediate(report, DefaultProfile, defaultFolder, nullptr));

    // Only a desktop that is done says so, for this address: any other status
    // leaves an earlier marker as it was, and the deployment tool tries again.
    if (worst != Outcome::Completed) return worst;
    const std::uint32_t error =
        platform::WriteRegistryText(platform::HKEY_LOCAL_MACHINE, MarkerKey, StartPageValueName, StartPageUrl);
    if (!error) return worst;
    const ProfileResult failed = Failed(Outcome::StartPageNotWritten, "the detection marker not written", error);
    report.Line(L"-", L"HKLM\\SOFTWARE\\Desktop Remediation", failed.what);
    return failed.outcome;
}

}  // namespace

Outcome RemediateAllProfiles(const Report& report) {
    if (!platform::HoldsHivePrivileges()) {
        report.Line(L"-", L"-",
                    Text("every profile needs SeBackupPrivilege and SeRestorePrivilege: run as SYSTEM or elevated"));
        return Outcome::NotPrivileged;
    }
    // A second run would take the first one's hives for leftovers.
    if (const std::uint32_t error = platform::AcquireRunLock(RunLockPatienceMilliseconds)) {
        report.Line(L"-", L"-",
                    error == platform::WAIT_TIMEOUT
                        ? Text("nothing changed: another run over every profile is still going; run again later")
                        : Failed(NotRemediated, "nothing changed: the lock of runs over every profile", error).what);
        return NotRemediated;
    }
    struct Unlock {
        ~Unlock() { platform::ReleaseRunLock(); }
    } unlock;
    return RemediateLocked(report);
}

}  // namespace remediation
