// The platform operations on Windows. platform.h comes before windows.h, whose
// macros (HKEY_CURRENT_USER, REG_SZ, ERROR_SUCCESS) would otherwise rewrite its
// declarations; after windows.h only the Windows names are used.
#include "platform/platform.h"

#include <windows.h>
#include <sddl.h>

#include <cstring>
#include <vector>

static_assert(sizeof(platform::OSVERSIONINFOA) == sizeof(::OSVERSIONINFOA), "version record layout");

namespace platform {
namespace {

// The error code comes in from the caller, read straight after the failing
// call: building the subject allocates, and a hooked heap may change the
// thread's last error on the way.
[[noreturn]] void Raise(const wchar_t* operation, DWORD error, const std::wstring& subject) {
    throw RunTimeFailure{operation, subject, error};
}

// Predefined roots are 32-bit values sign-extended to the width of a handle,
// as windows.h defines them.
HKEY ToRootHandle(RegistryRoot root) {
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(root))));
}

HKEY ToKeyHandle(RegistryKey key) { return reinterpret_cast<HKEY>(key); }

// A 32-bit program on 64-bit Windows is told System32 too, which the file
// system redirects to its own SysWOW64.
std::wstring SystemDirectory() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const UINT length = ::GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
        if (length == 0) Raise(L"GetSystemDirectoryW", ::GetLastError(), std::wstring());
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(length);
    }
}

// A DLL of the system folder, loaded by its full path so that no file of the
// same name beside the executable or in the current directory can stand in
// for it. It stays loaded: the process ends soon after, and unloading user32
// from a thread that has become a GUI thread is fragile.
class SystemLibrary {
public:
    explicit SystemLibrary(const wchar_t* name) : path_(SystemDirectory() + L"\\" + name) {
        module_ = ::LoadLibraryW(path_.c_str());
        if (!module_) Raise(L"LoadLibraryW", ::GetLastError(), path_);
    }
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;

    template <typename Function>
    Function Procedure(const char* name) const {
        const FARPROC procedure = ::GetProcAddress(module_, name);
        if (!procedure) {
            const DWORD error = ::GetLastError();
            Raise(L"GetProcAddress", error, path_ + L" " + std::wstring(name, name + std::strlen(name)));
        }
        return reinterpret_cast<Function>(reinterpret_cast<void*>(procedure));
    }

private:
    std::wstring path_;
    HMODULE module_ = nullptr;
};

// A service's window station, or a scheduled task's that runs whether the user
// is logged on or not, is not visible: a box there waits for an OK that nobody
// can press. Where the flags cannot be read, the box is shown as it always was.
bool WindowStationIsVisible(const SystemLibrary& user32) {
    using GetProcessWindowStationFunction = HWINSTA(WINAPI*)();
    using GetUserObjectInformationWFunction = BOOL(WINAPI*)(HANDLE, int, PVOID, DWORD, LPDWORD);
    const auto station = user32.Procedure<GetProcessWindowStationFunction>("GetProcessWindowStation")();
    const auto information = user32.Procedure<GetUserObjectInformationWFunction>("GetUserObjectInformationW");
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    if (!station || !information(station, UOI_FLAGS, &flags, sizeof(flags), &needed)) return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// user32, and the graphics DLLs it brings, come into the process only for a
// box: most runs show none, and a process that never loads them ends sooner
// and leaves the system's input lock alone at logon.
void ShowBox(const wchar_t* text, const wchar_t* title, UINT style) {
    using MessageBoxWFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
    const SystemLibrary user32(L"user32.dll");
    if (!WindowStationIsVisible(user32)) return;
    const auto messageBox = user32.Procedure<MessageBoxWFunction>("MessageBoxW");
    if (messageBox(nullptr, text, title, style) == 0) {
        const DWORD error = ::GetLastError();
        Raise(L"MessageBoxW", error, text);
    }
}

}  // namespace

std::int32_t GetVersionExA(OSVERSIONINFOA& info) {
    return ::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA*>(&info)) ? 1 : 0;
}

std::wstring ErrorText(std::uint32_t errorCode) {
    wchar_t buffer[512];
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, errorCode, 0,
                                    buffer, ARRAYSIZE(buffer), nullptr);
    while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n' || buffer[length - 1] == L' '))
        --length;
    if (length == 0) return L"The system has no description of this error.";
    return std::wstring(buffer, length);
}

std::uint32_t GetTickCount() { return ::GetTickCount(); }

void Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::int32_t RegCreateKeyA(const RegistryRoot& root, const std::string& subKey, RegistryKey& key) {
    HKEY opened = nullptr;
    const LONG status = ::RegCreateKeyA(ToRootHandle(root), subKey.c_str(), &opened);
    key = reinterpret_cast<RegistryKey>(opened);
    return status;
}

std::int32_t RegSetValueExA(const RegistryKey& key, const std::string& valueName, std::uint32_t reserved,
                            std::uint32_t type, const char* data, std::uint32_t byteCount) {
    return ::RegSetValueExA(ToKeyHandle(key), valueName.c_str(), reserved, type, reinterpret_cast<const BYTE*>(data),
                            byteCount);
}

std::int32_t RegCloseKey(const RegistryKey& key) { return ::RegCloseKey(ToKeyHandle(key)); }

std::string ToAnsiCodePage(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int length = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) Raise(L"WideCharToMultiByte", ::GetLastError(), text);
    std::string converted(static_cast<std::size_t>(needed), '\0');
    if (::WideCharToMultiByte(CP_ACP, 0, text.data(), length, &converted[0], needed, nullptr, nullptr) != needed)
        Raise(L"WideCharToMultiByte", ::GetLastError(), text);
    return converted;
}

std::wstring ReadEnvironmentVariable(const std::wstring& name) {
    // The value can change between asking for its size and reading it, so ask
    // again until it fits.
    std::vector<wchar_t> buffer(256);
    for (;;) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD result = ::GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (result == 0) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_SUCCESS || error == ERROR_ENVVAR_NOT_FOUND) return std::wstring();
            Raise(L"GetEnvironmentVariableW", error, name);
        }
        if (result < buffer.size()) return std::wstring(buffer.data(), result);
        buffer.resize(result);
    }
}

std::wstring ReadProcessUserSid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        Raise(L"OpenProcessToken", ::GetLastError(), std::wstring());
    struct TokenOwner {
        HANDLE handle;
        ~TokenOwner() { ::CloseHandle(handle); }
    } owner{token};

    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : sizeof(TOKEN_USER));
    if (!::GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size))
        Raise(L"GetTokenInformation", ::GetLastError(), L"TokenUser");

    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid, &text))
        Raise(L"ConvertSidToStringSidW", ::GetLastError(), std::wstring());
    struct LocalText {
        wchar_t* text;
        ~LocalText() { ::LocalFree(text); }
    } local{text};
    return std::wstring(text);
}

std::uint32_t QueryFileAttributes(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) Raise(L"GetFileAttributesW", ::GetLastError(), path);
    return attributes;
}

std::uint32_t ListedFileAttributes(const std::wstring& path) {
    // FindFirstFileW reads its last part as a pattern: one holding a wildcard
    // could list another file, so it is no name to look for.
    const std::size_t nameStart = path.find_last_of(L"\\/") + 1;
    const std::wstring name = path.substr(nameStart);
    if (name.empty() || name.find_first_of(L"*?") != std::wstring::npos)
        Raise(L"FindFirstFileW", ERROR_INVALID_NAME, path);
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) Raise(L"FindFirstFileW", ::GetLastError(), path);
    ::FindClose(search);
    return found.dwFileAttributes;
}

std::wstring GetFullPath(const std::wstring& path) {
    // The answer counts its terminator when the buffer is too small, and not
    // when it fits; the path may also be longer than any fixed buffer.
    std::vector<wchar_t> buffer(path.size() + MAX_PATH);
    for (;;) {
        const DWORD length =
            ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0) Raise(L"GetFullPathNameW", ::GetLastError(), path);
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(length);
    }
}

void DeleteFiles(const std::wstring& path) {
    // DeleteFileW takes the name literally: "*" or "?" in it never match other files.
    if (!::DeleteFileW(path.c_str())) Raise(L"DeleteFileW", ::GetLastError(), path);
}

namespace {
bool noBoxes = false;
}  // namespace

void ShowNoBoxes() { noBoxes = true; }

void ShowMessageBox(const std::wstring& prompt, std::uint32_t style, const std::wstring& title) {
    if (noBoxes) return;
    ShowBox(prompt.c_str(), title.empty() ? nullptr : title.c_str(), style);
}

namespace {

constexpr wchar_t ReportOpening[] = L"The remediation stopped before it finished.";
constexpr UINT ReportStyle = MB_OK | MB_ICONERROR | MB_SETFOREGROUND;

std::wstring ReportText(const RunTimeFailure& failure) {
    std::wstring text = ReportOpening;
    text += L"\n\n";
    text += failure.operation;
    text += L" failed";
    if (!failure.subject.empty()) {
        text += L" for\n";
        text += failure.subject;
    }
    text += L"\n\n";
    text += ErrorText(failure.errorCode);
    text += L" (error " + DecimalText(failure.errorCode) + L")";
    return text;
}

}  // namespace

void ReportUnhandledFailure(const RunTimeFailure& failure) noexcept {
    if (noBoxes) return;
    try {
        ShowBox(ReportText(failure).c_str(), ProgramTitle, ReportStyle);
        return;
    } catch (const RunTimeFailure&) {
        // Nothing is left to tell the user if even this box cannot be shown;
        // the run still ends as a failure.
        return;
    } catch (...) {
        // The text could not be made, out of memory most likely: the opening
        // line alone still tells the user that the run stopped.
    }
    try {
        ShowBox(ReportOpening, ProgramTitle, ReportStyle);
    } catch (...) {
    }
}

}  // namespace platform
