// Runs the program under test as a debuggee: every DLL it loads is reported
// to the kit, on Windows and under Wine alike; its boxes are read and answered
// OK; a run past its time limit is ended.
#include "kit.h"

#include <psapi.h>

#include <cstddef>
#include <cwctype>
#include <set>

namespace pilot {
namespace {

using desktop::Handle;

// A window station made with CreateWindowStationW is not visible, as a
// service's is. Only administrators may name one, so Windows names it from the
// logon session; a desktop is made on the calling process's station, so the
// kit visits it for that moment. Where the kit's own logon session is not an
// interactive one, that station is the session's own, which already exists
// (and is not visible): there the program simply inherits the kit's, and no
// station is made. The kit asks only for the rights it uses, and names the
// desktop itself: the station's Default desktop, where there is one, is not
// the kit's to take.
struct HiddenDesktop {
    // The desktop closes before its station.
    desktop::Owned<HWINSTA, &::CloseWindowStation> station;
    desktop::Owned<HDESK, &::CloseDesktop> stationDesktop;
    std::wstring name;  // "station\desktop", for STARTUPINFO.lpDesktop
    bool Make() {
        station.Reset(::CreateWindowStationW(nullptr, 0, WINSTA_CREATEDESKTOP | WINSTA_READATTRIBUTES, nullptr));
        if (!station) return false;
        wchar_t stationName[MAX_PATH] = {};
        DWORD needed = 0;
        if (!::GetUserObjectInformationW(station.Get(), UOI_NAME, stationName, sizeof(stationName) - sizeof(wchar_t),
                                         &needed))
            return false;
        const HWINSTA own = ::GetProcessWindowStation();
        if (!::SetProcessWindowStation(station.Get())) return false;
        stationDesktop.Reset(::CreateDesktopW(L"remediate-pilot", nullptr, nullptr, 0,
                                              DESKTOP_CREATEWINDOW | DESKTOP_READOBJECTS, nullptr));
        ::SetProcessWindowStation(own);
        name = std::wstring(stationName) + L"\\remediate-pilot";
        return static_cast<bool>(stationDesktop);
    }
};

// The file a case holds open, closed on a timer of its own once its time has
// come: the debug loop may be busy with the program's events just then.
struct Hold {
    volatile HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE timer = nullptr;
    Hold() = default;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold() {
        // Waits for a release in progress before the handle goes.
        if (timer) ::DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
        Release();
    }
    bool ReleaseAfter(DWORD milliseconds) {
        return milliseconds == INFINITE ||
               ::CreateTimerQueueTimer(&timer, nullptr, OnTime, this, milliseconds, 0, WT_EXECUTEONLYONCE);
    }
    void Release() {
        const HANDLE held = ::InterlockedExchangePointer(const_cast<HANDLE*>(&file), INVALID_HANDLE_VALUE);
        if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
    }
    static void CALLBACK OnTime(PVOID self, BOOLEAN) { static_cast<Hold*>(self)->Release(); }
};

// An event of another process than the run's own: one of a run given up
// earlier, whose debugger this thread still is. It goes on as if no debugger
// were there, and counts for nothing.
void ContinueOtherProcess(const DEBUG_EVENT& event) {
    DWORD continuation = DBG_CONTINUE;
    if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && event.u.CreateProcessInfo.hFile)
        ::CloseHandle(event.u.CreateProcessInfo.hFile);
    if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && event.u.LoadDll.hFile) ::CloseHandle(event.u.LoadDll.hFile);
    if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
        event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
        continuation = DBG_EXCEPTION_NOT_HANDLED;
    ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continuation);
}

void AnswerBoxes(DWORD processId, std::set<HWND>& answered, std::vector<Box>& boxes) {
    for (HWND box : desktop::VisibleBoxesOf(processId)) {
        if (!answered.insert(box).second) continue;
        boxes.push_back(
            {desktop::WindowText(box), desktop::BoxText(box), ReadValue(HKEY_CURRENT_USER, MainKey, L"Start Page")});
        desktop::PressOk(box);
    }
}

// The name the loader handed to the debugger: where it looked for the DLL.
// Windows gives none for some (ntdll's), and Wine maps its own DLLs from where
// it keeps them, whatever the name it found them by.
std::wstring LoaderName(HANDLE process, const LOAD_DLL_DEBUG_INFO& loaded) {
    void* pointer = nullptr;
    SIZE_T read = 0;
    if (!loaded.lpImageName || !loaded.fUnicode ||
        !::ReadProcessMemory(process, loaded.lpImageName, &pointer, sizeof(pointer), &read) || !pointer)
        return L"";
    wchar_t text[MAX_PATH] = {};
    ::ReadProcessMemory(process, pointer, text, sizeof(text) - sizeof(wchar_t), &read);
    return text;
}

// The file a DLL was mapped from, as the debuggee's memory names it; or, where
// that cannot be read, the loader's name for it.
std::wstring MappedName(HANDLE process, const LOAD_DLL_DEBUG_INFO& loaded, const std::wstring& loaderName) {
    wchar_t name[MAX_PATH * 2];
    const DWORD length = ::GetMappedFileNameW(process, loaded.lpBaseOfDll, name, ARRAYSIZE(name));
    if (length > 0) return std::wstring(name, length);
    return loaderName.empty() ? L"(unnamed)" : loaderName;
}

// The lower-cased names of the DLLs that an image mapped in the debuggee
// imports, from its import directory; the 32-bit and 64-bit layouts both, as a
// WOW64 debuggee maps some of each.
std::vector<std::wstring> ImportsOf(HANDLE process, const void* base) {
    const auto* image = static_cast<const BYTE*>(base);
    const auto read = [&](DWORD offset, void* into, SIZE_T size) {
        SIZE_T done = 0;
        return ::ReadProcessMemory(process, image + offset, into, size, &done) && done == size;
    };
    IMAGE_DOS_HEADER dos{};
    if (!read(0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE) return {};
    const DWORD optional = static_cast<DWORD>(dos.e_lfanew) + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    WORD magic = 0;
    if (!read(optional, &magic, sizeof(magic))) return {};
    const DWORD directories = optional + static_cast<DWORD>(magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC
                                                                ? offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)
                                                                : offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory));
    IMAGE_DATA_DIRECTORY imports{};
    if (!read(directories + IMAGE_DIRECTORY_ENTRY_IMPORT * sizeof(IMAGE_DATA_DIRECTORY), &imports, sizeof(imports)))
        return {};
    std::vector<std::wstring> names;
    IMAGE_IMPORT_DESCRIPTOR descriptor{};
    for (DWORD at = imports.VirtualAddress;
         at && names.size() < 1024 && read(at, &descriptor, sizeof(descriptor)) && descriptor.Name;
         at += sizeof(descriptor)) {
        std::wstring name;
        char c = 0;
        for (DWORD i = 0; i < MAX_PATH && read(descriptor.Name + i, &c, 1) && c; ++i)
            name += static_cast<wchar_t>(static_cast<unsigned char>(c));
        names.push_back(LowerName(name));
    }
    return names;
}

volatile HANDLE running = nullptr;  // the process of the run in progress, for EndRunInProgress

}  // namespace

std::wstring LowerName(const std::wstring& path) {
    std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    if (!name.empty()) ::CharLowerBuffW(&name[0], static_cast<DWORD>(name.size()));
    return name;
}

RunResult RunProgram(const RunOptions& options) {
    RunResult result;
    // /Quiet, in any letter case: the program shows no box either.
    std::wstring arguments = options.arguments;
    for (wchar_t& c : arguments) c = static_cast<wchar_t>(::towlower(c));
    result.unseen = options.invisibleStation || arguments.find(L"/quiet") != std::wstring::npos;
    result.refused = options.version == Staged::VersionFive ||
                     (options.version == Staged::SystemVersion && Where().majorVersion == 5);
    result.startPageBefore = ReadValue(HKEY_CURRENT_USER, MainKey, L"Start Page");
    std::vector<std::wstring> replaced{L"APPDATA="}, added;
    if (options.appData) added.push_back(L"APPDATA=" + *options.appData);
    for (const std::wstring& entry : options.environment) {
        replaced.push_back(entry.substr(0, entry.find(L'=') + 1));
        added.push_back(entry);
    }
    std::vector<wchar_t> environment = desktop::EnvironmentWith(replaced, added);

    Hold held;
    if (!options.hold.empty()) {
        held.file = ::CreateFileW(options.hold.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        // From just before the program starts.
        if (held.file == INVALID_HANDLE_VALUE || !held.ReleaseAfter(options.releaseAfterMilliseconds)) {
            result.startError = ::GetLastError();
            return result;
        }
    }

    const std::wstring program = options.program.empty() ? Where().program : options.program;
    std::wstring commandLine = L"\"" + program + L"\"" + (options.arguments.empty() ? L"" : L" " + options.arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    HiddenDesktop hidden;
    if (options.invisibleStation && Where().boxesReadable) {
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
    // A kit that is ended, by force or otherwise, leaves the program to finish
    // its run: one killed with it over every profile could leave a user's hive loaded.
    ::DebugSetProcessKillOnExit(FALSE);

    std::set<HWND> answered;
    const DWORD started = ::GetTickCount();
    bool exited = false, ended = false;
    while (!exited) {
        DEBUG_EVENT event{};
        if (::WaitForDebugEvent(&event, 50)) {
            if (event.dwProcessId != process.dwProcessId) {
                ContinueOtherProcess(event);
                continue;
            }
            DWORD continuation = DBG_CONTINUE;
            switch (event.dwDebugEventCode) {
                case CREATE_PROCESS_DEBUG_EVENT:
                    result.programImports = ImportsOf(process.hProcess, event.u.CreateProcessInfo.lpBaseOfImage);
                    if (event.u.CreateProcessInfo.hFile) ::CloseHandle(event.u.CreateProcessInfo.hFile);
                    break;
                case LOAD_DLL_DEBUG_EVENT: {
                    const std::wstring loaderName = LoaderName(process.hProcess, event.u.LoadDll);
                    result.modules.push_back({MappedName(process.hProcess, event.u.LoadDll, loaderName), loaderName,
                                              ImportsOf(process.hProcess, event.u.LoadDll.lpBaseOfDll)});
                }
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

DWORD ReportedMajorVersion(const std::vector<std::wstring>& environment) {
    RunOptions options;
    options.program = Where().kit;
    options.arguments = L"--report-version";
    options.environment = environment;
    const RunResult run = RunProgram(options);
    return run.startError || run.timedOut ? 0 : run.status;
}

}  // namespace pilot
