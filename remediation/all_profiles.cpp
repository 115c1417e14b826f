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

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

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
    if (!StartsWith(name, L"S-1-5-21-") && !StartsWith(name, L"S-1-12-1-")) return false;
    for (wchar_t c : name.substr(2))
        if (c != L'-' && (c < L'0' || c > L'9')) return false;
    return true;
}

bool FileIsThere(const std::wstring& path) {
    bool searched = false;
    return FileExists(PathForWindows(path), searched);
}

// "\\a\\\\b" as "\\a\\b": Windows folds doubled separators in a path it
// resolves, and the final path it gives back has none.
std::wstring FoldSeparators(const std::wstring& path) {
    std::wstring folded;
    for (wchar_t c : path) {
        if (c == L'/') c = L'\\';
        if (c == L'\\' && !folded.empty() && folded.back() == L'\\') continue;
        folded += c;
    }
    return folded;
}

ProfileResult Failed(Outcome outcome, const std::wstring& what, std::uint32_t errorCode) {
    return {outcome,
            what + L": " + platform::ErrorText(errorCode) + L" (error " + platform::DecimalText(errorCode) + L")"};
}

// Deletes the shortcut below the profile's application-data folder, only where
// its final path is the one expected: the final path of the part no user can
// change (the profile folder, whose parent only administrators may change, or
// an application-data folder redirected elsewhere), then the rest as built.
// A junction or link that a user put anywhere below it leads elsewhere.
ProfileResult RemoveShortcut(const std::wstring& appData, const std::wstring& profileFolder) {
    const std::wstring below = profileFolder + L"\\";
    const bool insideProfile = StartsWithFolded(appData, below);
    const std::wstring anchor = insideProfile ? profileFolder : appData;
    const std::wstring rest =
        FoldSeparators((insideProfile ? appData.substr(profileFolder.size()) : std::wstring()) + ShortcutBelowAppData);
    std::wstring expected;
    try {
        expected = platform::FinalPath(PathForWindows(anchor)) + rest;
    } catch (const platform::RunTimeFailure& failure) {
        return Failed(Outcome::StartupFolderNotSearched, L"the Startup folder could not be looked in",
                      failure.errorCode);
    }

    const std::wstring shortcut = PathForWindows(appData + ShortcutBelowAppData);
    try {
        switch (RetryWhileHeld([&] { return platform::DeleteFileAt(shortcut, expected); })) {
            case platform::GuardedDeletion::Deleted: return {Outcome::Completed, L"shortcut removed"};
            case platform::GuardedDeletion::NotThere:
            case platform::GuardedDeletion::NotAFile: return {Outcome::Completed, L"no shortcut"};
            case platform::GuardedDeletion::LeadsElsewhere:
                return {Outcome::StartupFolderNotSearched,
                        L"the shortcut's path leads out of the profile (a junction or link): left alone"};
        }
    } catch (const platform::RunTimeFailure& failure) {
        // Opening it failed for another reason than a hold: nothing says
        // whether a shortcut is there. A shortcut that opened and would not
        // go is a failed deletion.
        if (failure.operation == platform::OpeningForDeletion)
            return Failed(Outcome::StartupFolderNotSearched, L"the Startup folder could not be looked in",
                          failure.errorCode);
        return Failed(Outcome::ShortcutNotDeleted, L"the shortcut could not be deleted", failure.errorCode);
    }
    return {Outcome::ShortcutNotDeleted, L"the shortcut could not be deleted"};
}

// The hive of a profile nobody is signed in to, loaded under a name of the
// program's own for its repair alone, with the privileges on only around the
// load and the unload.
ProfileResult RepairUnloadedProfile(const std::wstring& who, const std::wstring& profileFolder) {
    const std::wstring hiveFile = profileFolder + L"\\NTUSER.DAT";
    if (!FileIsThere(hiveFile)) return {Outcome::StartupFolderNotSearched, L"not remediated: no NTUSER.DAT"};

    const std::wstring hive = HiveNamePrefix + who;
    platform::EnableHivePrivileges(true);
    try {
        platform::LoadHive(hive, PathForWindows(hiveFile));
    } catch (const platform::RunTimeFailure& failure) {
        platform::EnableHivePrivileges(false);
        if (failure.errorCode == platform::ERROR_SHARING_VIOLATION)
            return {Outcome::StartupFolderNotSearched,
                    L"not remediated: its hive is in use (the user may be signing in); run again later"};
        return Failed(Outcome::StartupFolderNotSearched, L"not remediated: its hive could not be loaded",
                      failure.errorCode);
    }
    platform::EnableHivePrivileges(false);

    ProfileResult result;
    try {
        result = RepairProfile(hive, profileFolder);
    } catch (...) {
        // Out of memory, most likely: the hive still goes back.
        result = {Outcome::StartPageNotWritten, L"the repair stopped"};
    }

    // Windows may hold the hive a moment longer than the last key handle.
    platform::EnableHivePrivileges(true);
    std::uint32_t unloadError = 0;
    for (std::uint32_t attempt = 0; attempt < UnloadAttempts; ++attempt) {
        try {
            platform::UnloadHive(hive);
            unloadError = 0;
            break;
        } catch (const platform::RunTimeFailure& failure) {
            unloadError = failure.errorCode;
        }
        platform::Sleep(UnloadPauseMilliseconds);
    }
    platform::EnableHivePrivileges(false);
    if (unloadError) {
        const ProfileResult stuck = Failed(Outcome::StartupFolderNotSearched,
                                           L"its hive stays loaded as HKEY_USERS\\" + hive +
                                               L" (the user cannot sign in properly until it is "
                                               L"unloaded or the computer restarts)",
                                           unloadError);
        result = {Worse(result.outcome, stuck.outcome), result.what + L"; " + stuck.what};
    }
    return result;
}

ProfileResult RepairListedProfile(const platform::ProfileListEntry& entry) {
    const bool signedIn = platform::HiveIsLoaded(entry.keyName);
    if ((entry.state & MandatoryState) || FileIsThere(entry.folder + L"\\NTUSER.MAN"))
        return {Outcome::StartupFolderNotSearched,
                L"not remediated: a mandatory profile, whose changes are discarded at sign-out"};
    if (entry.state & TemporaryState)
        return {Outcome::StartupFolderNotSearched, L"not remediated: a temporary profile"};
    if (entry.roaming && !signedIn)
        return {Outcome::StartupFolderNotSearched,
                L"not remediated: a roaming profile whose user is not signed in (the server's copy may replace it): "
                L"run the program in the user's own session"};
    if (signedIn) return RepairProfile(entry.keyName, entry.folder);
    return RepairUnloadedProfile(entry.keyName, entry.folder);
}

}  // namespace

ProfileResult RepairProfile(const std::wstring& hive, const std::wstring& profileFolder) {
    // The AppData that the profile's own user gets, with %USERPROFILE% meaning
    // this profile's folder. Any other variable is the user's session's alone.
    std::wstring appData = platform::ReadRegistryText(platform::HKEY_USERS, hive + ShellFoldersKey, L"AppData");
    if (appData.empty()) appData = L"%USERPROFILE%\\AppData\\Roaming";
    if (StartsWithFolded(appData, UserProfileVariable))
        appData = profileFolder + appData.substr(sizeof(UserProfileVariable) / sizeof(wchar_t) - 1);

    // "...\\Roaming\\" names the same folder as "...\\Roaming".
    while (appData.size() > 3 && appData.back() == L'\\') appData.pop_back();

    ProfileResult result;
    if (appData.find(L'%') != std::wstring::npos) {
        result = {Outcome::StartupFolderNotSearched,
                  L"Startup folder not searched: AppData is " + appData + L", which only the user's session expands"};
    } else {
        result = RemoveShortcut(appData, profileFolder);
        // As in the user's own run: a shortcut that would not go stops the
        // profile's repair before its start page.
        if (result.outcome == Outcome::ShortcutNotDeleted) return result;
    }

    const std::uint32_t error =
        platform::WriteRegistryText(platform::HKEY_USERS, hive + StartPageKey, StartPageValueName, StartPageUrl);
    if (error) {
        const ProfileResult failed = Failed(Outcome::StartPageNotWritten, L"start page not written", error);
        return {Worse(result.outcome, failed.outcome), result.what + L"; " + failed.what};
    }
    return {result.outcome, result.what + L"; start page written"};
}

Outcome RemediateAllProfiles(const Report& report) {
    if (!platform::HoldsHivePrivileges()) {
        report.Line(L"-", L"-",
                    L"every profile needs SeBackupPrivilege and SeRestorePrivilege: run as SYSTEM or elevated");
        return Outcome::NotPrivileged;
    }

    Outcome worst = Outcome::Completed;
    for (const platform::ProfileListEntry& entry : platform::ReadProfileList()) {
        if (!IsUserSid(entry.keyName)) continue;
        if (!FolderExists(PathForWindows(entry.folder))) {
            report.Line(entry.keyName, entry.folder, L"left alone: its profile folder is not there (a stale entry)");
            continue;
        }
        const ProfileResult result = RepairListedProfile(entry);
        report.Line(entry.keyName, entry.folder, result.what);
        worst = Worse(worst, result.outcome);
    }

    // The profile that every new user's is copied from.
    const std::wstring defaultFolder = platform::ReadDefaultProfileFolder();
    if (defaultFolder.empty()) {
        report.Line(DefaultProfile, L"-", L"left alone: ProfileList names no Default profile");
    } else if (!FolderExists(PathForWindows(defaultFolder))) {
        report.Line(DefaultProfile, defaultFolder, L"left alone: its folder is not there");
    } else {
        const ProfileResult result = RepairUnloadedProfile(DefaultProfile, defaultFolder);
        report.Line(DefaultProfile, defaultFolder, result.what);
        worst = Worse(worst, result.outcome);
    }

    // Only a desktop that is done says so, for this address: any other status
    // leaves an earlier marker as it was, and the deployment tool tries again.
    if (worst == Outcome::Completed) {
        const std::uint32_t error =
            platform::WriteRegistryText(platform::HKEY_LOCAL_MACHINE, MarkerKey, StartPageValueName, StartPageUrl);
        if (error) {
            const ProfileResult failed = Failed(Outcome::StartPageNotWritten, L"marker not written", error);
            report.Line(L"-", L"HKLM\\SOFTWARE\\Desktop Remediation", failed.what);
            return failed.outcome;
        }
    }
    return worst;
}

}  // namespace remediation
