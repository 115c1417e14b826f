// The platform operations on Windows. platform.h comes before windows.h, whose
// macros (HKEY_CURRENT_USER, REG_SZ, ERROR_SUCCESS) would otherwise rewrite its
// declarations; after windows.h only the Windows names are used.
#include "platform/platform.h"

#include <windows.h>

#include <vector>

static_assert(sizeof(platform::OSVERSIONINFOA) == sizeof(::OSVERSIONINFOA), "version record layout");

namespace platform {
namespace {

[[noreturn]] void RaiseLastError(const wchar_t* operation, const std::wstring& subject) {
    throw RunTimeFailure{operation, subject, ::GetLastError()};
}

// Predefined roots are 32-bit values sign-extended to the width of a handle,
// as windows.h defines them.
HKEY ToRootHandle(RegistryRoot root) {
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(root))));
}

HKEY ToKeyHandle(RegistryKey key) { return reinterpret_cast<HKEY>(key); }

std::wstring SystemMessageFor(DWORD errorCode) {
    wchar_t buffer[512];
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, errorCode, 0,
                                    buffer, ARRAYSIZE(buffer), nullptr);
    while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n' || buffer[length - 1] == L' '))
        --length;
    if (length == 0) return L"The system has no description of this error.";
    return std::wstring(buffer, length);
}

}  // namespace

std::int32_t GetVersionExA(OSVERSIONINFOA& info) {
    return ::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA*>(&info)) ? 1 : 0;
}

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
    if (needed <= 0) RaiseLastError(L"WideCharToMultiByte", text);
    std::string converted(static_cast<std::size_t>(needed), '\0');
    if (::WideCharToMultiByte(CP_ACP, 0, text.data(), length, &converted[0], needed, nullptr, nullptr) != needed)
        RaiseLastError(L"WideCharToMultiByte", text);
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
            throw RunTimeFailure{L"GetEnvironmentVariableW", name, error};
        }
        if (result < buffer.size()) return std::wstring(buffer.data(), result);
        buffer.resize(result);
    }
}

std::uint32_t QueryFileAttributes(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) RaiseLastError(L"GetFileAttributesW", path);
    return attributes;
}

void DeleteFiles(const std::wstring& path) {
    // DeleteFileW takes the name literally: "*" or "?" in it never match other files.
    if (!::DeleteFileW(path.c_str())) RaiseLastError(L"DeleteFileW", path);
}

void ShowMessageBox(const std::wstring& prompt, std::uint32_t style, const std::wstring& title) {
    if (::MessageBoxW(nullptr, prompt.c_str(), title.empty() ? nullptr : title.c_str(), style) == 0)
        RaiseLastError(L"MessageBoxW", prompt);
}

void ReportUnhandledFailure(const RunTimeFailure& failure) {
    std::wstring text = L"The remediation stopped before it finished.\n\n";
    text += failure.operation;
    text += L" failed";
    if (!failure.subject.empty()) {
        text += L" for\n";
        text += failure.subject;
    }
    text += L"\n\n";
    text += SystemMessageFor(failure.errorCode);
    text += L" (error " + std::to_wstring(failure.errorCode) + L")";
    // Nothing is left to tell the user if even this box cannot be shown.
    ::MessageBoxW(nullptr, text.c_str(), ProgramTitle, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

}  // namespace platform
