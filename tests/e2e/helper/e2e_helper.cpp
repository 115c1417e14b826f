// Test helper, run under Wine beside the program under test, for what only
// Wine can show: the cases themselves are the pilot kit's.
//
//   run [--timeout S] [--appdata VALUE] [--env NAME=VALUE]... [--arg ARGUMENT]... [--screenshots DIR] EXE
//       Starts EXE with the environment and arguments given (each quoted), reads the title and text of
//       every message box it shows and presses OK, and waits for it to end.
//       Prints "box<TAB>title<TAB>text" for each box, then "exit<TAB>status",
//       or "timeout" when EXE was still running after S seconds and was ended.
//       --env sets NAME for EXE alone (Wine reads WINEDEBUG and
//       WINEDLLOVERRIDES from it), replacing any value it had.
//       --screenshots DIR saves each box, as the screen shows it, to DIR\box-N.bmp.
//       --hold FILE keeps FILE open (made if need be), readable by others but not writable, while EXE runs.
//   attrib PATH [r][h][s]     sets exactly these attributes (none: normal)
//   reg-get KEY NAME          prints "type<TAB>N<TAB>HEXBYTES", or "missing"
//   reg-set-sz KEY NAME TEXT
//   reg-protect KEY SDDL      replaces the key's DACL, as its owner may, with the
//                             one in the security descriptor string, and its
//                             owner too where the string begins with one ("O:SY")
//   reg-sddl KEY              prints the key's DACL as a security descriptor string, or "missing"
//       KEY is below HKEY_CURRENT_USER.
//   hive-load NAME FILE       loads the hive FILE as HKEY_USERS\NAME, and leaves it loaded
//   short-path PATH           prints PATH in its 8.3 form, as GetShortPathNameW gives it
//   fonts NAME...             "font<TAB>NAME<TAB>1" for each family Windows has, "0" for one it lacks
//   thread-ids                for this thread and a second one, "thread<TAB>ID<TAB>stand-in<TAB>ntdll":
//                             the ID Windows gave, and what the program's GetThreadId
//                             stand-in and its Windows XP way read from the handle
//
// Output is UTF-8; a backslash, tab, CR or LF in a text is written as \\ \t \r \n.
// Exit status: 0 done, 1 a Windows call failed, 2 bad usage, 3 time-out.
#include <windows.h>
#include <sddl.h>

#include "desktop.h"
#include "thread_id_xp.h"

#include <cwchar>
#include <set>
#include <string>
#include <vector>

namespace {

using desktop::Handle;
using desktop::Key;

void Write(const std::wstring& text) {
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], size, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

std::wstring Escaped(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        switch (c) {
            case L'\\': out += L"\\\\"; break;
            case L'\t': out += L"\\t"; break;
            case L'\r': out += L"\\r"; break;
            case L'\n': out += L"\\n"; break;
            default: out += c;
        }
    }
    return out;
}

int Fail(const wchar_t* operation, DWORD error = GetLastError()) {
    Write(std::wstring(L"error\t") + operation + L"\t" + std::to_wstring(error) + L"\n");
    return 1;
}

int Usage() {
    Write(L"usage: see the comment at the top of e2e_helper.cpp\n");
    return 2;
}

struct ScreenDC {
    HDC dc = GetDC(nullptr);
    ScreenDC() = default;
    ScreenDC(const ScreenDC&) = delete;
    ScreenDC& operator=(const ScreenDC&) = delete;
    ~ScreenDC() {
        if (dc) ReleaseDC(nullptr, dc);
    }
};

struct MemoryDC {
    HDC dc;
    explicit MemoryDC(HDC compatibleWith) : dc(CreateCompatibleDC(compatibleWith)) {}
    MemoryDC(const MemoryDC&) = delete;
    MemoryDC& operator=(const MemoryDC&) = delete;
    ~MemoryDC() {
        if (dc) DeleteDC(dc);
    }
};

struct Bitmap {
    HBITMAP bitmap;
    explicit Bitmap(HBITMAP b) : bitmap(b) {}
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;
    ~Bitmap() {
        if (bitmap) DeleteObject(bitmap);
    }
};

// Copies the window's rectangle of the screen, title bar included, to a 24-bit BMP.
bool SaveWindowPicture(HWND window, const std::wstring& path) {
    RECT rect;
    if (!GetWindowRect(window, &rect)) return false;
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    ScreenDC screen;
    MemoryDC memory(screen.dc);
    Bitmap bitmap(CreateCompatibleBitmap(screen.dc, width, height));
    if (!screen.dc || !memory.dc || !bitmap.bitmap) return false;
    const HGDIOBJ previous = SelectObject(memory.dc, bitmap.bitmap);
    const bool copied = BitBlt(memory.dc, 0, 0, width, height, screen.dc, rect.left, rect.top, SRCCOPY) != 0;
    SelectObject(memory.dc, previous);
    if (!copied) return false;

    BITMAPINFOHEADER header{};
    header.biSize = sizeof(header);
    header.biWidth = width;
    header.biHeight = height;  // bottom row first, as BMP files keep it
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    const DWORD rowBytes = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
    std::vector<BYTE> pixels(rowBytes * static_cast<DWORD>(height));
    if (GetDIBits(memory.dc, bitmap.bitmap, 0, static_cast<UINT>(height), pixels.data(),
                  reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS) != height)
        return false;

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof(file) + sizeof(header);
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    Handle out(desktop::Opened(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
    DWORD written = 0;
    return out && WriteFile(out.Get(), &file, sizeof(file), &written, nullptr) &&
           WriteFile(out.Get(), &header, sizeof(header), &written, nullptr) &&
           WriteFile(out.Get(), pixels.data(), static_cast<DWORD>(pixels.size()), &written, nullptr);
}

int Run(int argc, wchar_t** argv) {
    double timeoutSeconds = 30;
    std::vector<std::wstring> replaced, added;
    std::wstring arguments;
    const wchar_t* screenshots = nullptr;
    Handle held;
    int i = 2;
    // Options come before the executable, which is always the last argument.
    for (; i < argc - 1 && argv[i][0] == L'-'; ++i) {
        const std::wstring option = argv[i];
        const bool hasValue = i + 1 < argc - 1;
        if (option == L"--timeout" && hasValue) {
            timeoutSeconds = _wtof(argv[++i]);
        } else if (option == L"--appdata" && hasValue) {
            replaced.push_back(L"APPDATA=");
            added.push_back(std::wstring(L"APPDATA=") + argv[++i]);
        } else if (option == L"--env" && hasValue && wcschr(argv[i + 1], L'=') && argv[i + 1][0] != L'=') {
            const std::wstring entry = argv[++i];
            replaced.push_back(entry.substr(0, entry.find(L'=') + 1));
            added.push_back(entry);
        } else if (option == L"--arg" && hasValue) {
            arguments += std::wstring(L" \"") + argv[++i] + L"\"";
        } else if (option == L"--screenshots" && hasValue) {
            screenshots = argv[++i];
        } else if (option == L"--hold" && hasValue) {
            held.Reset(desktop::Opened(CreateFileW(argv[++i], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
            if (!held) return Fail(L"CreateFileW");
        } else {
            return Usage();
        }
    }
    if (i != argc - 1) return Usage();
    const std::wstring exe = argv[i];

    std::vector<wchar_t> environment;
    if (!replaced.empty()) environment = desktop::EnvironmentWith(replaced, added);
    std::wstring commandLine = L"\"" + exe + L"\"" + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        environment.empty() ? nullptr : environment.data(), nullptr, &startup, &process))
        return Fail(L"CreateProcessW");
    Handle processHandle(process.hProcess);
    Handle threadHandle(process.hThread);

    std::set<HWND> answered;
    const ULONGLONG started = GetTickCount64();
    const ULONGLONG deadline = started + static_cast<ULONGLONG>(timeoutSeconds * 1000);
    for (;;) {
        for (HWND box : desktop::VisibleBoxesOf(process.dwProcessId)) {
            if (!answered.insert(box).second) continue;
            Write(L"box\t" + Escaped(desktop::WindowText(box)) + L"\t" + Escaped(desktop::BoxText(box)) + L"\n");
            if (screenshots) {
                Sleep(500);  // let it finish painting
                const std::wstring picture =
                    std::wstring(screenshots) + L"\\box-" + std::to_wstring(answered.size()) + L".bmp";
                if (!SaveWindowPicture(box, picture)) Write(L"error\tscreenshot\t" + Escaped(picture) + L"\n");
            }
            desktop::PressOk(box);
        }
        if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) break;
        if (GetTickCount64() > deadline) {
            TerminateProcess(process.hProcess, 255);
            WaitForSingleObject(process.hProcess, 5000);
            Write(L"timeout\n");
            return 3;
        }
    }
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    Write(L"exit\t" + std::to_wstring(status) + L"\n");
    return 0;
}

int SetAttributes(const wchar_t* path, const std::wstring& flags) {
    DWORD attributes = 0;
    for (wchar_t flag : flags) {
        if (flag == L'r')
            attributes |= FILE_ATTRIBUTE_READONLY;
        else if (flag == L'h')
            attributes |= FILE_ATTRIBUTE_HIDDEN;
        else if (flag == L's')
            attributes |= FILE_ATTRIBUTE_SYSTEM;
        else
            return Usage();
    }
    if (!SetFileAttributesW(path, attributes ? attributes : FILE_ATTRIBUTE_NORMAL)) return Fail(L"SetFileAttributesW");
    return 0;
}

int GetValue(const wchar_t* keyPath, const wchar_t* name) {
    Key key;
    LONG status = RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_QUERY_VALUE, key.Out());
    if (status == ERROR_FILE_NOT_FOUND) {
        Write(L"missing\n");
        return 0;
    }
    if (status != ERROR_SUCCESS) return Fail(L"RegOpenKeyExW", static_cast<DWORD>(status));
    DWORD type = 0, size = 0;
    status = RegQueryValueExW(key.Get(), name, nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        Write(L"missing\n");
        return 0;
    }
    std::vector<BYTE> data(size);
    if (status == ERROR_SUCCESS) status = RegQueryValueExW(key.Get(), name, nullptr, &type, data.data(), &size);
    if (status != ERROR_SUCCESS) return Fail(L"RegQueryValueExW", static_cast<DWORD>(status));
    std::wstring hex;
    for (DWORD b = 0; b < size; ++b) {
        wchar_t pair[3];
        swprintf(pair, ARRAYSIZE(pair), L"%02x", data[b]);
        hex += pair;
    }
    Write(L"type\t" + std::to_wstring(type) + L"\t" + hex + L"\n");
    return 0;
}

int SetValue(const wchar_t* keyPath, const wchar_t* name, DWORD type, const BYTE* data, DWORD size) {
    Key key;
    LONG status =
        RegCreateKeyExW(HKEY_CURRENT_USER, keyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Out(), nullptr);
    if (status != ERROR_SUCCESS) return Fail(L"RegCreateKeyExW", static_cast<DWORD>(status));
    status = RegSetValueExW(key.Get(), name, 0, type, data, size);
    if (status != ERROR_SUCCESS) return Fail(L"RegSetValueExW", static_cast<DWORD>(status));
    return 0;
}

int ProtectKey(const wchar_t* keyPath, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return Fail(L"ConvertStringSecurityDescriptorToSecurityDescriptorW");
    const bool owner = wcsncmp(sddl, L"O:", 2) == 0;
    Key key;
    LONG status = RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, WRITE_DAC | (owner ? WRITE_OWNER : 0), key.Out());
    if (status == ERROR_SUCCESS)
        status = RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION | (owner ? OWNER_SECURITY_INFORMATION : 0),
                                   descriptor);
    LocalFree(descriptor);
    if (status != ERROR_SUCCESS) return Fail(L"RegSetKeySecurity", static_cast<DWORD>(status));
    return 0;
}

int PrintDacl(const wchar_t* keyPath) {
    Key key;
    LONG status = RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, READ_CONTROL, key.Out());
    if (status == ERROR_FILE_NOT_FOUND) {
        Write(L"missing\n");
        return 0;
    }
    if (status != ERROR_SUCCESS) return Fail(L"RegOpenKeyExW", static_cast<DWORD>(status));
    DWORD size = 0;
    RegGetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    std::vector<BYTE> descriptor(size);
    status = RegGetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, descriptor.data(), &size);
    if (status != ERROR_SUCCESS) return Fail(L"RegGetKeySecurity", static_cast<DWORD>(status));
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, nullptr))
        return Fail(L"ConvertSecurityDescriptorToStringSecurityDescriptorW");
    Write(std::wstring(text) + L"\n");
    LocalFree(text);
    return 0;
}

int CALLBACK NoteFamily(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

int PrintFonts(int argc, wchar_t** argv) {
    ScreenDC screen;
    if (!screen.dc) return Fail(L"GetDC");
    for (int i = 2; i < argc; ++i) {
        LOGFONTW wanted{};
        wanted.lfCharSet = DEFAULT_CHARSET;
        wcsncpy(wanted.lfFaceName, argv[i], LF_FACESIZE - 1);
        bool found = false;
        EnumFontFamiliesExW(screen.dc, &wanted, NoteFamily, reinterpret_cast<LPARAM>(&found), 0);
        Write(std::wstring(L"font\t") + argv[i] + (found ? L"\t1\n" : L"\t0\n"));
    }
    return 0;
}

DWORD WINAPI WaitUntilSet(LPVOID event) { return WaitForSingleObject(static_cast<HANDLE>(event), INFINITE); }

void PrintThreadIds(HANDLE thread, DWORD id) {
    Write(L"thread\t" + std::to_wstring(id) + L"\t" + std::to_wstring(xp::GetThreadId(thread)) + L"\t" +
          std::to_wstring(xp::ThreadIdFromBasicInformation(thread)) + L"\n");
}

int PrintThreadIds() {
    HANDLE self = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return Fail(L"DuplicateHandle");
    Handle selfHandle(self);
    PrintThreadIds(self, GetCurrentThreadId());
    // The second thread runs until told to end, and ends by itself: a thread
    // killed from outside can take the process down with it.
    Handle finish(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!finish) return Fail(L"CreateEventW");
    DWORD id = 0;
    Handle other(CreateThread(nullptr, 0, WaitUntilSet, finish.Get(), 0, &id));
    if (!other) return Fail(L"CreateThread");
    PrintThreadIds(other.Get(), id);
    SetEvent(finish.Get());
    WaitForSingleObject(other.Get(), INFINITE);
    return 0;
}

// Loads a hive file below HKEY_USERS, as a run that was ended leaves one: it
// stays loaded while the prefix's wineserver runs.
int LoadHive(const wchar_t* name, const wchar_t* file) {
    Handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Out()))
        return Fail(L"OpenProcessToken");
    for (const wchar_t* privilege : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
        TOKEN_PRIVILEGES change{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
        if (!LookupPrivilegeValueW(nullptr, privilege, &change.Privileges[0].Luid) ||
            !AdjustTokenPrivileges(token.Get(), FALSE, &change, 0, nullptr, nullptr))
            return Fail(L"AdjustTokenPrivileges");
    }
    const LONG status = RegLoadKeyW(HKEY_USERS, name, file);
    if (status != ERROR_SUCCESS) return Fail(L"RegLoadKeyW", static_cast<DWORD>(status));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return Usage();
    const std::wstring command = argv[1];
    if (command == L"run") return Run(argc, argv);
    if (command == L"attrib" && (argc == 3 || argc == 4)) return SetAttributes(argv[2], argc == 4 ? argv[3] : L"");
    if (command == L"reg-get" && argc == 4) return GetValue(argv[2], argv[3]);
    if (command == L"reg-set-sz" && argc == 5) {
        const std::wstring text = argv[4];
        return SetValue(argv[2], argv[3], REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    if (command == L"reg-protect" && argc == 4) return ProtectKey(argv[2], argv[3]);
    if (command == L"reg-sddl" && argc == 3) return PrintDacl(argv[2]);
    if (command == L"thread-ids" && argc == 2) return PrintThreadIds();
    if (command == L"fonts" && argc > 2) return PrintFonts(argc, argv);
    if (command == L"hive-load" && argc == 4) return LoadHive(argv[2], argv[3]);
    if (command == L"short-path" && argc == 3) {
        wchar_t shortPath[MAX_PATH];
        const DWORD length = GetShortPathNameW(argv[2], shortPath, MAX_PATH);
        if (!length || length >= MAX_PATH) return Fail(L"GetShortPathNameW");
        Write(Escaped(shortPath) + L"\n");
        return 0;
    }
    return Usage();
}
