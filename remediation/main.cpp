#include <cwchar>

#include "remediation/remediation.h"
#include "start_page_url.h"

namespace remediation {
namespace {

constexpr wchar_t RefusalPrompt[] = L"This application does not apply to Windows XP.";
constexpr wchar_t RefusalTitle[] = L"OS Not Supported.";
constexpr long RefusedMajorVersion = 5;

constexpr wchar_t AppDataVariable[] = L"Appdata";
constexpr wchar_t ShortcutBelowAppData[] =
    L"\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\Internet Explorer.lnk";
constexpr wchar_t RemovalConfirmation[] = L"Internet Explorer Has Been Successfully Removed From the Startup Group";

constexpr wchar_t StartPageKeyPath[] = L"Software\\Microsoft\\Internet Explorer\\Main";
constexpr wchar_t StartPageValueName[] = L"Start Page";

constexpr std::uint32_t OkButtonOnly = 0;

// LocalSystem, LocalService and NetworkService: a deployment tool's "System"
// install runs as one of these, whose HKEY_CURRENT_USER and APPDATA are the
// account's own, not any user's.
constexpr const wchar_t* ServiceAccounts[] = {L"S-1-5-18", L"S-1-5-19", L"S-1-5-20"};

bool IsServiceAccount(const std::wstring& sid) {
    for (const wchar_t* account : ServiceAccounts)
        if (sid == account) return true;
    return false;
}

}  // namespace

Outcome Main() {
    const std::wstring majorVersion = GetOSMajorVersion();
    if (std::wcstol(majorVersion.c_str(), nullptr, 10) == RefusedMajorVersion) {
        platform::ShowMessageBox(RefusalPrompt, OkButtonOnly, RefusalTitle);
        return Outcome::Completed;
    }

    // Fixing a service account would read as done to a detection rule that
    // runs in the same account, while no user's settings changed.
    if (IsServiceAccount(platform::ReadProcessUserSid())) return Outcome::NotRunAsUser;

    // Without an application-data folder there is no Startup folder to clean:
    // joining nothing to the fixed part would name a file at the root of the
    // current drive, which belongs to no user.
    bool startupSearched = false;
    const std::wstring appData = platform::ReadEnvironmentVariable(AppDataVariable);
    if (!appData.empty()) {
        const std::wstring shortcut = PathForWindows(appData + ShortcutBelowAppData);
        if (FileExists(shortcut, startupSearched)) {
            if (DeleteFileWhenReleased(shortcut))
                platform::ShowMessageBox(RemovalConfirmation, OkButtonOnly, platform::ProgramTitle);
        } else if (startupSearched) {
            // "No such file" below a profile that is not there at all (a drive
            // not mapped yet, or not seen by an elevated process) says nothing
            // of the user's Startup folder. A profile without one has none to clean.
            startupSearched = FolderExists(PathForWindows(appData));
        }
    }

    // Silent either way; the exit status tells a deployment tool, and a start
    // page not written outweighs a Startup folder not searched.
    const bool written =
        SetRegistryText(platform::HKEY_CURRENT_USER, StartPageKeyPath, StartPageValueName, StartPageUrl);
    if (!written) return Outcome::StartPageNotWritten;
    return startupSearched ? Outcome::Completed : Outcome::StartupFolderNotSearched;
}

}  // namespace remediation
