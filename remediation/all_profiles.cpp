#include "remediation/remediation.h"
#include "start_page_url.h"

namespace remediation {
namespace {

constexpr wchar_t ShortcutBelowAppData[] =
    L"\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\Internet Explorer.lnk";
constexpr wchar_t ShellFoldersKey[] = L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr wchar_t StartPageKey[] = L"\\Software\\Microsoft\\Internet Explorer\\Main";
constexpr wchar_t StartPageValueName[] = L"Start Page";
constexpr wchar_t MarkerKey[] = L"SOFTWARE\\Desktop Remediation";
constexpr wchar_t UserProfileVariable[] = L"%USERPROFILE%";
constexpr wchar_t DefaultProfile[] = L"Default";
// Below HKEY_USERS, never under the user's SID, which Windows loads the hive
// under at sign-in: a user signing in meanwhile would get a temporary profile.
constexpr wchar_t HiveNamePrefix[] = L"Desktop Remediation ";

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

bool FileIsThere(const std::wstring& path) {
    bool searched = false;
    return FileExists(PathForWindows(path), searched);
}

// "\\a\\\\b" as "\\a\\b": the final path that Windows gives back has no
// doubled separator.
std::wstring FoldSeparators(const std::wstring& path) {
    std::wstring folded;
    for (wchar_t c : path) {
        if (c == L'/') c = L'\\';
        if (c != L'\\' || folded.empty() || folded.back() != L'\\') folded += c;
    }
    return folded;
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

// Deletes the shortcut below the profile's application-data folder, only where
// its final path is the one expected: the final path of the part no user can
// change (the profile folder, whose parent only administrators may change, or
// an application-data folder redirected elsewhere), then the rest as built.
// A junction or link that a user put anywhere below it leads elsewhere.
ProfileResult RemoveShortcut(const std::wstring& appData, const std::wstring& profileFolder) {
    const bool insideProfile = StartsWithFolded(appData, profileFolder + L"\\");
    std::wstring expected;
    std::uint32_t error = platform::FinalPath(PathForWindows(insideProfile ? profileFolder : appData), expected);
    if (error) return Failed(NotRemediated, "the Startup folder could not be looked in", error);
    expected +=
        FoldSeparators((insideProfile ? appData.substr(profileFolder.size()) : std::wstring()) + ShortcutBelowAppData);

    const std::wstring shortcut = PathForWindows(appData + ShortcutBelowAppData);
    const std::uint32_t started = platform::GetTickCount();
    for (;;) {
        switch (platform::DeleteFileAt(shortcut, expected, error)) {
            case platform::GuardedDeletion::Deleted: return Said(Outcome::Completed, "shortcut removed");
            case platform::GuardedDeletion::NotThere:
            case platform::GuardedDeletion::NotAFile: return Said(Outcome::Completed, "no shortcut");
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

// The hive of a profile nobody is signed in to, loaded under a name of the
// program's own for its repair alone, with the privileges on only around the
// load and the unload.
ProfileResult RepairUnloadedProfile(const std::wstring& who, const std::wstring& profileFolder) {
    const std::wstring hiveFile = profileFolder + L"\\NTUSER.DAT";
    if (!FileIsThere(hiveFile)) return Said(NotRemediated, "not remediated: no NTUSER.DAT");

    const std::wstring hive = HiveNamePrefix + who;
    std::uint32_t error = platform::EnableHivePrivileges(true);
    if (!error) error = platform::LoadHive(hive, PathForWindows(hiveFile));
    platform::EnableHivePrivileges(false);
    if (error == platform::ERROR_SHARING_VIOLATION)
        return Said(NotRemediated, "not remediated: its hive is in use (the user may be signing in); run again later");
    if (error) return Failed(NotRemediated, "not remediated: its hive could not be loaded", error);

    ProfileResult result;
    try {
        result = RepairProfile(hive, profileFolder);
    } catch (...) {
        UnloadWithRetries(hive);
        throw;
    }
    error = UnloadWithRetries(hive);
    if (!error) return result;
    ProfileResult stuck = Said(NotRemediated, "its hive stays loaded as HKEY_USERS\\");
    stuck.what += hive;
    AppendAscii(stuck.what, " (the user cannot sign in properly until it is unloaded or the computer restarts)");
    AppendError(stuck.what, error);
    return Together(result, stuck);
}

ProfileResult RepairListedProfile(const platform::ProfileListEntry& entry) {
    const bool signedIn = platform::HiveIsLoaded(entry.keyName);
    if ((entry.state & MandatoryState) || FileIsThere(entry.folder + L"\\NTUSER.MAN"))
        return Said(NotRemediated, "not remediated: a mandatory profile, whose changes are discarded at sign-out");
    if (entry.state & TemporaryState) return Said(NotRemediated, "not remediated: a temporary profile");
    if (entry.roaming && !signedIn)
        return Said(NotRemediated,
                    "not remediated: a roaming profile whose user is not signed in (the server's copy may replace it): "
                    "run the program in the user's own session");
    if (signedIn) return RepairProfile(entry.keyName, entry.folder);
    return RepairUnloadedProfile(entry.keyName, entry.folder);
}

// A profile whose folder is there; one whose folder is gone is a stale entry,
// named in the report and not counted.
Outcome Remediate(const Report& report, const std::wstring& who, const std::wstring& folder,
                  const platform::ProfileListEntry* listed) {
    if (!FolderExists(PathForWindows(folder))) {
        report.Line(who, folder, Text("left alone: its profile folder is not there"));
        return Outcome::Completed;
    }
    const ProfileResult result = listed ? RepairListedProfile(*listed) : RepairUnloadedProfile(who, folder);
    report.Line(who, folder, result.what);
    return result.outcome;
}

}  // namespace

ProfileResult RepairProfile(const std::wstring& hive, const std::wstring& profileFolder) {
    // The AppData that the profile's own user gets, with %USERPROFILE% meaning
    // this profile's folder. Any other variable is the user's session's alone.
    std::wstring appData = platform::ReadRegistryText(platform::HKEY_USERS, hive + ShellFoldersKey, L"AppData");
    if (appData.empty()) appData = L"%USERPROFILE%\\AppData\\Roaming";
    if (StartsWithFolded(appData, UserProfileVariable))
        appData.replace(0, sizeof(UserProfileVariable) / sizeof(wchar_t) - 1, profileFolder);
    // "...\\Roaming\\" names the same folder as "...\\Roaming".
    while (appData.size() > 3 && appData.back() == L'\\') appData.pop_back();

    ProfileResult result;
    if (appData.find(L'%') != std::wstring::npos) {
        result = Said(NotRemediated, "Startup folder not searched: only the user's own session expands AppData: ");
        result.what += appData;
    } else {
        result = RemoveShortcut(appData, profileFolder);
        // As in the user's own run: a shortcut that would not go stops the
        // profile's repair before its start page.
        if (result.outcome == Outcome::ShortcutNotDeleted) return result;
    }

    const std::uint32_t error =
        platform::WriteRegistryText(platform::HKEY_USERS, hive + StartPageKey, StartPageValueName, StartPageUrl);
    if (error) return Together(result, Failed(Outcome::StartPageNotWritten, "start page not written", error));
    result.what += L"; start page written";
    return result;
}

Outcome RemediateAllProfiles(const Report& report) {
    if (!platform::HoldsHivePrivileges()) {
        report.Line(L"-", L"-",
                    Text("every profile needs SeBackupPrivilege and SeRestorePrivilege: run as SYSTEM or elevated"));
        return Outcome::NotPrivileged;
    }
    std::vector<platform::ProfileListEntry> entries;
    if (const std::uint32_t error = platform::ReadProfileList(entries)) {
        report.Line(L"-", L"-", Failed(NotRemediated, "ProfileList could not be read", error).what);
        return NotRemediated;
    }

    Outcome worst = Outcome::Completed;
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

}  // namespace remediation
