// A temporary service of the kit's own, so that the program runs as a service
// account does under a deployment tool: as LocalSystem or LocalService, on a
// window station nobody sees. The service is this executable, copied with the
// program to a folder those accounts can read; it is deleted on every way out.
// Each case has a service and a folder of its own, both named in the kept copy
// before they are made, so that a kit ended by force removes them at its next
// start (or with --restore).
#include "kit.h"

#include <sddl.h>

#include <cwchar>

namespace pilot {
namespace {

using ServiceHandle = desktop::Owned<SC_HANDLE, &::CloseServiceHandle>;

// Below the kit's kept copy of the account, and removed with it.
constexpr wchar_t KeptServicesKey[] = L"Software\\Desktop Remediation Pilot\\Services";
constexpr const wchar_t* Accounts[] = {L"LocalSystem", L"LocalService"};

std::wstring KeptText(const std::wstring& name) {
    return TextOf(ReadValue(HKEY_CURRENT_USER, KeptServicesKey, name.c_str()));
}

// Stops a service if it still runs, and deletes it.
void RemoveService(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (::QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED)
        ::ControlService(service, SERVICE_CONTROL_STOP, &status);
    ::DeleteService(service);
}

struct TemporaryService {
    ServiceHandle service;
    TemporaryService() = default;
    TemporaryService(const TemporaryService&) = delete;
    TemporaryService& operator=(const TemporaryService&) = delete;
    ~TemporaryService() {
        if (service) RemoveService(service.Get());
    }
};

// The service's status word: the program's exit status, whether the
// service's window station is visible, and whether the program ran at all.
constexpr DWORD Ran = 0x10000, Visible = 0x20000;

// What RemoveTree left of a folder goes at the next restart: each file, then
// the folders, deepest first, in the order they were scheduled.
bool ScheduleRemovalAtRestart(const std::wstring& path) {
    bool scheduled = true;
    if (IsFolder(path)) {
        WIN32_FIND_DATAW entry;
        const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (wcscmp(entry.cFileName, L".") && wcscmp(entry.cFileName, L".."))
                    scheduled = ScheduleRemovalAtRestart(path + L"\\" + entry.cFileName) && scheduled;
            } while (::FindNextFileW(search, &entry));
            ::FindClose(search);
        }
    }
    return ::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) && scheduled;
}

// The folder of the service's copies. The service's process may still be
// running once the service reports SERVICE_STOPPED, and its image cannot be
// deleted until it ends: it is given time to, and what still cannot go is
// removed at the next restart.
void RemoveFolder(const std::wstring& path) {
    RemoveTree(path);
    if (!Exists(path)) return;
    Print(L"remediate-pilot: the temporary service's folder " + path + L" could not be removed now: " +
          (ScheduleRemovalAtRestart(path) ? L"Windows removes it at the next restart" : L"remove it by hand"));
}

struct ServiceFolder {
    std::wstring path;
    desktop::Handle process;
    ServiceFolder() = default;
    ServiceFolder(const ServiceFolder&) = delete;
    ServiceFolder& operator=(const ServiceFolder&) = delete;
    ~ServiceFolder() {
        if (process) ::WaitForSingleObject(process.Get(), 30000);
        RemoveFolder(path);
    }
};

// The case's service and folder, named in the kept copy for as long as they
// may be there; forgotten once both are gone.
struct KeptService {
    std::wstring account;
    KeptService(const std::wstring& name, const std::wstring& folder, const std::wstring& forAccount)
        : account(forAccount) {
        WriteValue(HKEY_CURRENT_USER, KeptServicesKey, (account + L" folder").c_str(), TextValue(folder));
        WriteValue(HKEY_CURRENT_USER, KeptServicesKey, (account + L" service").c_str(), TextValue(name));
    }
    KeptService(const KeptService&) = delete;
    KeptService& operator=(const KeptService&) = delete;
    ~KeptService() {
        WriteValue(HKEY_CURRENT_USER, KeptServicesKey, (account + L" service").c_str(), StoredValue());
        WriteValue(HKEY_CURRENT_USER, KeptServicesKey, (account + L" folder").c_str(), StoredValue());
    }
};

ServiceRun Failed(const wchar_t* step) {
    ServiceRun run;
    run.failedStep = step;
    run.error = ::GetLastError();
    return run;
}

SERVICE_STATUS_HANDLE statusHandle = nullptr;
std::wstring serviceProgram, serviceAppData;

void Report(DWORD state, DWORD code) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwWin32ExitCode = state == SERVICE_STOPPED ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    status.dwServiceSpecificExitCode = code;
    status.dwWaitHint = 30000;
    ::SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI OnControl(DWORD, DWORD, LPVOID, LPVOID) { return NO_ERROR; }

void WINAPI RunProgramAsService(DWORD, LPWSTR*) {
    statusHandle = ::RegisterServiceCtrlHandlerExW(L"", OnControl, nullptr);
    if (!statusHandle) return;
    Report(SERVICE_RUNNING, 0);
    DWORD code = OwnStationIsVisible() ? Visible : 0;
    const std::optional<DWORD> status =
        RunToEnd(serviceProgram, L"", desktop::EnvironmentWith({L"APPDATA="}, {L"APPDATA=" + serviceAppData}), 30000);
    if (status) code |= Ran | (*status & 0xFFFF);
    Report(SERVICE_STOPPED, code);
}

}  // namespace

int ServiceMain(const std::wstring& program, const std::wstring& appData) {
    serviceProgram = program;
    serviceAppData = appData;
    wchar_t name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{name, RunProgramAsService}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

bool PutBackServices() {
    for (const wchar_t* account : Accounts) {
        const std::wstring name = KeptText(std::wstring(account) + L" service");
        if (!name.empty()) {
            ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
            ServiceHandle service(
                manager ? ::OpenServiceW(manager.Get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_STOP | DELETE)
                        : nullptr);
            if (service) RemoveService(service.Get());
        }
        const std::wstring folder = KeptText(std::wstring(account) + L" folder");
        // Only ever a folder of the kit's own making.
        if (folder.find(L"\\remediate-pilot-service-") != std::wstring::npos) RemoveFolder(folder);
    }
    return DeleteKeyTree(HKEY_CURRENT_USER, KeptServicesKey);
}

ServiceRun RunAsService(const wchar_t* account, const std::wstring& program, const std::wstring& appData) {
    // A folder of the Windows directory's own Temp, which the service accounts
    // may read, holding copies of the kit and the program; the service and the
    // folder are the case's own, by the account it runs as.
    const std::wstring accountName = account ? L"LocalService" : L"LocalSystem";
    wchar_t windows[MAX_PATH];
    ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring suffix = std::to_wstring(::GetCurrentProcessId()) + L"-" + accountName;
    const std::wstring folder = std::wstring(windows) + L"\\Temp\\remediate-pilot-service-" + suffix;
    const std::wstring name = L"RemediatePilot" + suffix;
    const KeptService kept(name, folder, accountName);
    ServiceFolder made;
    made.path = folder;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;WD)", SDDL_REVISION_1,
            &attributes.lpSecurityDescriptor, nullptr))
        return Failed(L"ConvertStringSecurityDescriptorToSecurityDescriptorW");
    const bool created = ::CreateDirectoryW(folder.c_str(), &attributes) != 0;
    ::LocalFree(attributes.lpSecurityDescriptor);
    if (!created) return Failed(L"CreateDirectoryW");
    const std::wstring kit = folder + L"\\remediate-pilot.exe";
    const std::wstring copy = folder + L"\\" + program.substr(program.rfind(L'\\') + 1);
    if (!::CopyFileW(Where().kit.c_str(), kit.c_str(), FALSE) || !::CopyFileW(program.c_str(), copy.c_str(), FALSE))
        return Failed(L"CopyFileW");
    // The account's APPDATA as the case gives it, with a shortcut there that
    // must still be there afterwards.
    const std::wstring shortcut =
        appData + L"\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\Internet Explorer.lnk";
    PlantShortcut(shortcut);

    ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) return Failed(L"OpenSCManagerW");
    const std::wstring command = L"\"" + kit + L"\" --service \"" + copy + L"\" \"" + appData + L"\"";
    TemporaryService service;
    service.service.Reset(::CreateServiceW(manager.Get(), name.c_str(), L"Desktop Remediation pilot (temporary)",
                                           SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                           SERVICE_ERROR_IGNORE, command.c_str(), nullptr, nullptr, nullptr, account,
                                           account ? L"" : nullptr));
    if (!service.service) return Failed(L"CreateServiceW");
    if (!::StartServiceW(service.service.Get(), 0, nullptr)) return Failed(L"StartServiceW");
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    const DWORD started = ::GetTickCount();
    while (::QueryServiceStatusEx(service.service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                  sizeof(status), &needed) &&
           status.dwCurrentState != SERVICE_STOPPED) {
        if (!made.process && status.dwProcessId)
            made.process.Reset(::OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
        if (::GetTickCount() - started > 60000) {
            ::SetLastError(ERROR_TIMEOUT);
            return Failed(L"waiting for the service to stop");
        }
        ::Sleep(100);
    }
    ServiceRun run;
    if (!(status.dwServiceSpecificExitCode & Ran)) {
        ::SetLastError(status.dwWin32ExitCode);
        return Failed(L"starting the program from the service");
    }
    run.status = status.dwServiceSpecificExitCode & 0xFFFF;
    run.stationVisible = (status.dwServiceSpecificExitCode & Visible) != 0;
    run.shortcutKept = Exists(shortcut);
    return run;
}

}  // namespace pilot
