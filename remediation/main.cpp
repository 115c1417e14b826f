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

// What /? shows, around the address the program was built for.
constexpr wchar_t HelpBeforeAddress[] =
    L"Removes \"Internet Explorer.lnk\" from the Startup folder and sets the browser's start page to ";
constexpr wchar_t HelpAfterAddress[] =
    L".\n\n"
    L"remediate [/AllProfiles] [/Log FILE] [/Quiet]\n\n"
    L"Without /AllProfiles: the signed-in user's own Startup folder and start page.\n"
    L"/AllProfiles: every user's profile and the Default profile; run it as SYSTEM or elevated.\n"
    L"/Log FILE: appends a line for each profile, and the exit status, to FILE.\n"
    L"/Quiet: shows no box at all.\n\n"
    L"Exit statuses and deployment: README.md and docs\\deployment.md with the program's source.";

// LocalSystem, LocalService and NetworkService: a deployment tool's "System"
// install runs as one of these, whose HKEY_CURRENT_USER and APPDATA are the
// account's own, not any user's.
constexpr const wchar_t* ServiceAccounts[] = {L"S-1-5-18", L"S-1-5-19", L"S-1-5-20"};

bool IsServiceAccount(const std::wstring& sid) {
    for (const wchar_t* account : ServiceAccounts)
        if (sid == account) return true;
    return false;
}

// The run of the signed-in user, from the user's own session.
Outcome RemediateUser(const Report& report) {
    const std::wstring sid = platform::ReadProcessUserSid();
    // Fixing a service account would read as done to a detection rule that
    // runs in the same account, while no user's settings changed.
    if (IsServiceAccount(sid)) {
        report.Line(sid, L"-", L"run as a service account: nothing changed (/AllProfiles is the way for such a run)");
        return Outcome::NotRunAsUser;
    }

    // Without an application-data folder there is no Startup folder to clean:
    // joining nothing to the fixed part would name a file at the root of the
    // current drive, which belongs to no user.
    bool startupSearched = false;
    bool removed = false;
    const std::wstring appData = platform::ReadEnvironmentVariable(AppDataVariable);
    if (!appData.empty()) {
        const std::wstring shortcut = PathForWindows(appData + ShortcutBelowAppData);
        if (FileExists(shortcut, startupSearched)) {
            try {
                removed = DeleteFileWhenReleased(shortcut);
            } catch (const platform::RunTimeFailure& failure) {
                std::wstring what = L"the shortcut could not be deleted";
                AppendError(what, failure.errorCode);
                report.Line(sid, appData, what);
                report.Summary(platform::ExitFailed);
                throw;
            }
        } else if (startupSearched) {
            // "No such file" below a profile that is not there at all (a drive
            // not mapped yet, or not seen by an elevated process) says nothing
            // of the user's Startup folder. A profile without one has none to clean.
            startupSearched = FolderExists(PathForWindows(appData));
        }
    }

    // The start page is written before the confirmation is shown, so that a
    // box nobody answers leaves nothing undone. Silent either way; the exit
    // status tells a deployment tool, and a start page not written outweighs
    // a Startup folder not searched.
    const bool written =
        SetRegistryText(platform::HKEY_CURRENT_USER, StartPageKeyPath, StartPageValueName, StartPageUrl);
    Outcome outcome = !written          ? Outcome::StartPageNotWritten
                      : startupSearched ? Outcome::Completed
                                        : Outcome::StartupFolderNotSearched;
    std::wstring what = removed           ? L"shortcut removed"
                        : startupSearched ? L"no shortcut"
                                          : L"Startup folder not searched";
    what += written ? L"; start page written" : L"; start page not written";
    report.Line(sid, appData, what);
    if (removed) {
        try {
            platform::ShowMessageBox(RemovalConfirmation, OkButtonOnly, platform::ProgramTitle);
        } catch (const platform::RunTimeFailure&) {
            report.Summary(platform::ExitFailed);
            throw;
        }
    }
    report.Close(outcome);
    return outcome;
}

}  // namespace

Outcome Main() {
    Arguments arguments;
    if (!ParseCommandLine(platform::ReadCommandLine(), arguments)) return Outcome::BadCommandLine;
    if (arguments.quiet) platform::ShowNoBoxes();
    // As msiexec /? does, it ends as a command line not understood: no
    // deployment tool counts it as done. A box that cannot be shown changes nothing.
    if (arguments.help) {
        try {
            platform::ShowMessageBox(HelpBeforeAddress + std::wstring(StartPageUrl) + HelpAfterAddress, OkButtonOnly,
                                     platform::ProgramTitle);
        } catch (const platform::RunTimeFailure&) {
        }
        return Outcome::BadCommandLine;
    }
    // A privileged run opens nothing before it stops following users' junctions: its report neither.
    if (arguments.allProfiles) platform::RefuseUsersJunctions();
    // A report that cannot be opened, or is refused, holds nothing back: the
    // run goes on without it, and its status says so.
    bool opened = false;
    if (!arguments.logFile.empty()) {
        try {
            platform::OpenLog(arguments.logFile, arguments.allProfiles);
            opened = true;
        } catch (const platform::RunTimeFailure&) {
        }
    }
    const Report report(!arguments.logFile.empty(), opened);

    const std::wstring majorVersion = GetOSMajorVersion();
    if (std::wcstol(majorVersion.c_str(), nullptr, 10) == RefusedMajorVersion) {
        report.Line(L"-", L"-", L"refused: Windows reports major version 5");
        Outcome outcome = Outcome::Completed;
        report.Close(outcome);
        platform::ShowMessageBox(RefusalPrompt, OkButtonOnly, RefusalTitle);
        return outcome;
    }
    if (arguments.allProfiles) {
        Outcome outcome;
        try {
            outcome = RemediateAllProfiles(report);
        } catch (...) {
            report.Summary(platform::ExitFailed);
            throw;
        }
        report.Close(outcome);
        return outcome;
    }
    return RemediateUser(report);
}

int ExitStatus(Outcome outcome) {
    switch (outcome) {
        case Outcome::Completed: return platform::ExitCompleted;
        case Outcome::ReportNotWritten: return platform::ExitReportNotWritten;
        case Outcome::StartupFolderNotSearched: return platform::ExitStartupNotSearched;
        case Outcome::StartPageNotWritten: return platform::ExitStartPageNotWritten;
        case Outcome::ShortcutNotDeleted: return platform::ExitFailed;
        case Outcome::NotRunAsUser: return platform::ExitNotRunAsUser;
        case Outcome::BadCommandLine: return platform::ExitBadCommandLine;
        case Outcome::NotPrivileged: return platform::ExitNotPrivileged;
    }
    return platform::ExitFailed;
}

}  // namespace remediation
