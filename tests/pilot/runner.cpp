// Runs the program under test as a debuggee: every DLL it loads is reported
// to the kit, on Windows and under Wine alike; its boxes are read and answered
// OK; a run past its time limit is ended.
#include "kit.h"

#include <psapi.h>

#include <set>

namespace pilot {
namespace {

using desktop::Handle;

// A window station made with CreateWindowStationW is not visible, as a
// service's is; a desktop is made on the calling process's station, so the
// kit visits it for that moment.
struct HiddenDesktop {
    // The desktop closes before its station.
    desktop::Owned<HWINSTA, &::CloseWindowStation> station;
    desktop::Owned<HDESK, &::CloseDesktop> stationDesktop;
    std::wstring name;  // "station\desktop", for STARTUPINFO.lpDesktop
    bool Make() {
        static LONG made = 0;
        const std::wstring stationName =
            L"remediate-pilot-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++made);
        station.Reset(::CreateWindowStationW(stationName.c_str(), 0, WINSTA_ALL_ACCESS, nullptr));
        if (!station) return false;
        const HWINSTA own = ::GetProcessWindowStation();
        if (!::SetProcessWindowStation(station.Get())) return false;
        stationDesktop.Reset(::CreateDesktopW(L"default", nullptr, nullptr, 0, GENERIC_ALL, nullptr));
        ::SetProcessWindowStation(own);
        name = stationName + L"\\default";
        return static_cast<bool>(stationDesktop);
    }
};

void AnswerBoxes(DWORD processId, std::set<HWND>& answered, std::vector<Box>& boxes) {
    for (HWND box : desktop::VisibleBoxesOf(processId)) {
        if (!answered.insert(box).second) continue;
        boxes.push_back({desktop::WindowText(box), desktop::BoxText(box)});
        desktop::PressOk(box);
    }
}

// The file a DLL was mapped from, as the debuggee's memory names it; or, where
// that cannot be read, the name the loader handed to the debugger.
std::wstring ModuleName(HANDLE process, const LOAD_DLL_DEBUG_INFO& loaded) {
    wchar_t name[MAX_PATH * 2];
    const DWORD length = ::GetMappedFileNameW(process, loaded.lpBaseOfDll, name, ARRAYSIZE(name));
    if (length > 0) return std::wstring(name, length);
    void* pointer = nullptr;
    SIZE_T read = 0;
    if (loaded.lpImageName && loaded.fUnicode &&
        ::ReadProcessMemory(process, loaded.lpImageName, &pointer, sizeof(pointer), &read) && pointer) {
        wchar_t text[MAX_PATH] = {};
        ::ReadProcessMemory(process, pointer, text, sizeof(text) - sizeof(wchar_t), &read);
        return text;
    }
    return L"(unnamed)";
}

volatile HANDLE running = nullptr;  // the process of the run in progress, for EndRunInProgress

}  // namespace

RunResult RunProgram(const RunOptions& options) {
    RunResult result;
    std::vector<std::wstring> replaced{L"APPDATA="}, added;
    if (options.appData) added.push_back(L"APPDATA=" + *options.appData);
    for (const std::wstring& entry : options.environment) {
        replaced.push_back(entry.substr(0, entry.find(L'=') + 1));
        added.push_back(entry);
    }
    std::vector<wchar_t> environment = desktop::EnvironmentWith(replaced, added);

    Handle held;
    if (!options.hold.empty()) {
        held.Reset(desktop::Opened(::CreateFileW(options.hold.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
        if (!held) {
            result.startError = ::GetLastError();
            return result;
        }
    }

    const std::wstring program = options.program.empty() ? Where().program : options.program;
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    HiddenDesktop hidden;
    if (options.invisibleStation) {
        if (!hidden.Make()) {
            result.startError = ::GetLastError();
            return result;
        }
        startup.lpDesktop = &hidden.name[0];
    }
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                          CREATE_UNICODE_ENVIRONMENT | DEBUG_ONLY_THIS_PROCESS, environment.data(),
                          Where().scratch.c_str(), &startup, &process)) {
        result.startError = ::GetLastError();
        return result;
    }
    Handle processHandle(process.hProcess), threadHandle(process.hThread);
    running = process.hProcess;

    std::set<HWND> answered;
    const DWORD started = ::GetTickCount();
    bool exited = false, ended = false;
    while (!exited) {
        DEBUG_EVENT event{};
        if (::WaitForDebugEvent(&event, 50)) {
            DWORD continuation = DBG_CONTINUE;
            switch (event.dwDebugEventCode) {
                case CREATE_PROCESS_DEBUG_EVENT:
                    if (event.u.CreateProcessInfo.hFile) ::CloseHandle(event.u.CreateProcessInfo.hFile);
                    break;
                case LOAD_DLL_DEBUG_EVENT:
                    result.modules.push_back(ModuleName(process.hProcess, event.u.LoadDll));
                    if (event.u.LoadDll.hFile) ::CloseHandle(event.u.LoadDll.hFile);
                    break;
                case EXCEPTION_DEBUG_EVENT:
                    // The loader's breakpoint is the debugger's; every other
                    // exception (the program's own C++ ones among them) goes
                    // back to the program, as if no debugger were there.
                    if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                        continuation = DBG_EXCEPTION_NOT_HANDLED;
                    break;
                case EXIT_PROCESS_DEBUG_EVENT:
                    result.status = event.u.ExitProcess.dwExitCode;
                    exited = true;
                    break;
                default: break;
            }
            ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continuation);
            continue;
        }
        const DWORD elapsed = ::GetTickCount() - started;
        if (held && elapsed >= options.releaseAfterMilliseconds) held.Reset();
        if (!ended) AnswerBoxes(process.dwProcessId, answered, result.boxes);
        if (!ended && elapsed >= options.timeoutMilliseconds) {
            ::TerminateProcess(process.hProcess, 255);
            result.timedOut = ended = true;
        }
        // A process ended from outside still reports its end; one that does not is given up.
        if (ended && elapsed >= options.timeoutMilliseconds + 10000) break;
    }
    running = nullptr;
    return result;
}

void EndRunInProgress() {
    const HANDLE process = running;
    if (process) ::TerminateProcess(process, 255);
}

std::optional<DWORD> RunToEnd(const std::wstring& exe, const std::wstring& arguments, std::vector<wchar_t> environment,
                              DWORD timeoutMilliseconds) {
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                          environment.data(), nullptr, &startup, &process))
        return std::nullopt;
    Handle processHandle(process.hProcess), threadHandle(process.hThread);
    if (::WaitForSingleObject(process.hProcess, timeoutMilliseconds) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 255);
        ::WaitForSingleObject(process.hProcess, 5000);
    }
    DWORD status = 255;
    ::GetExitCodeProcess(process.hProcess, &status);
    return status;
}

DWORD RunKit(const std::wstring& arguments, const std::vector<std::wstring>& environment) {
    std::vector<std::wstring> replaced;
    for (const std::wstring& entry : environment) replaced.push_back(entry.substr(0, entry.find(L'=') + 1));
    return RunToEnd(Where().kit, arguments, desktop::EnvironmentWith(replaced, environment), 30000).value_or(~0u);
}

}  // namespace pilot
