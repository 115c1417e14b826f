// Runs the program under test as a debuggee: every DLL it loads is reported
// to the kit, on Windows and under Wine alike; its boxes are read and answered
// OK; a run past its time limit is ended.
#include "kit.h"

#include <psapi.h>

#include <cwchar>
#include <set>

namespace pilot {
namespace {

struct Handle {
    HANDLE handle = nullptr;
    Handle() = default;
    explicit Handle(HANDLE h) : handle(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Close(); }
    void Close() {
        if (handle) ::CloseHandle(handle);
        handle = nullptr;
    }
};

// A window station made with CreateWindowStationW is not visible, as a
// service's is; a desktop is made on the calling process's station, so the
// kit visits it for that moment.
struct HiddenDesktop {
    HWINSTA station = nullptr;
    HDESK desktop = nullptr;
    std::wstring name;  // "station\desktop", for STARTUPINFO.lpDesktop
    HiddenDesktop() = default;
    HiddenDesktop(const HiddenDesktop&) = delete;
    HiddenDesktop& operator=(const HiddenDesktop&) = delete;
    ~HiddenDesktop() {
        if (desktop) ::CloseDesktop(desktop);
        if (station) ::CloseWindowStation(station);
    }
    bool Make() {
        static LONG made = 0;
        const std::wstring stationName =
            L"remediate-pilot-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++made);
        station = ::CreateWindowStationW(stationName.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
        if (!station) return false;
        const HWINSTA own = ::GetProcessWindowStation();
        if (!::SetProcessWindowStation(station)) return false;
        desktop = ::CreateDesktopW(L"default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        ::SetProcessWindowStation(own);
        name = stationName + L"\\default";
        return desktop != nullptr;
    }
};

std::wstring ClassOf(HWND window) {
    wchar_t name[64];
    const int length = ::GetClassNameW(window, name, ARRAYSIZE(name));
    return std::wstring(name, length > 0 ? static_cast<size_t>(length) : 0);
}

std::wstring WindowText(HWND window) {
    wchar_t buffer[4096];
    DWORD_PTR length = 0;
    if (!::SendMessageTimeoutW(window, WM_GETTEXT, ARRAYSIZE(buffer), reinterpret_cast<LPARAM>(buffer), SMTO_BLOCK,
                               2000, &length))
        return std::wstring();
    return std::wstring(buffer, static_cast<size_t>(length));
}

// A message box is a dialog (#32770) whose text is its one static control with text.
std::wstring BoxText(HWND box) {
    std::wstring text;
    for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        if (_wcsicmp(ClassOf(child).c_str(), L"Static") != 0) continue;
        const std::wstring part = WindowText(child);
        if (part.empty()) continue;
        if (!text.empty()) text += L"\n";
        text += part;
    }
    return text;
}

struct BoxSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectBoxes(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<BoxSearch*>(context);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && ::IsWindowVisible(window) && ClassOf(window) == L"#32770")
        search->found.push_back(window);
    return TRUE;
}

void AnswerBoxes(DWORD processId, std::set<HWND>& answered, std::vector<Box>& boxes) {
    BoxSearch search{processId, {}};
    ::EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&search));
    for (HWND box : search.found) {
        if (!answered.insert(box).second) continue;
        boxes.push_back({WindowText(box), BoxText(box)});
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
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

std::vector<wchar_t> EnvironmentWith(const std::vector<std::wstring>& replaced,
                                     const std::vector<std::wstring>& added) {
    std::vector<wchar_t> block;
    wchar_t* strings = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry; entry += wcslen(entry) + 1) {
        bool keep = true;
        for (const std::wstring& name : replaced)
            if (_wcsnicmp(entry, name.c_str(), name.size()) == 0) keep = false;
        if (keep) block.insert(block.end(), entry, entry + wcslen(entry) + 1);
    }
    ::FreeEnvironmentStringsW(strings);
    for (const std::wstring& entry : added) block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    block.push_back(L'\0');
    return block;
}

RunResult RunProgram(const RunOptions& options) {
    RunResult result;
    std::vector<std::wstring> replaced{L"APPDATA="}, added;
    if (options.appData) added.push_back(L"APPDATA=" + *options.appData);
    for (const std::wstring& entry : options.environment) {
        replaced.push_back(entry.substr(0, entry.find(L'=') + 1));
        added.push_back(entry);
    }
    std::vector<wchar_t> environment = EnvironmentWith(replaced, added);

    Handle held;
    if (!options.hold.empty()) {
        held.handle = ::CreateFileW(options.hold.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (held.handle == INVALID_HANDLE_VALUE) {
            held.handle = nullptr;
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
        if (held.handle && elapsed >= options.releaseAfterMilliseconds) held.Close();
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

DWORD RunKit(const std::wstring& arguments, const std::vector<std::wstring>& environment) {
    std::vector<std::wstring> replaced;
    for (const std::wstring& entry : environment) replaced.push_back(entry.substr(0, entry.find(L'=') + 1));
    std::vector<wchar_t> block = EnvironmentWith(replaced, environment);
    std::wstring commandLine = L"\"" + Where().kit + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(Where().kit.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                          block.data(), nullptr, &startup, &process))
        return ~0u;
    Handle processHandle(process.hProcess), threadHandle(process.hThread);
    if (::WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 255);
        ::WaitForSingleObject(process.hProcess, 5000);
        return ~0u;
    }
    DWORD status = ~0u;
    ::GetExitCodeProcess(process.hProcess, &status);
    return status;
}

}  // namespace pilot
