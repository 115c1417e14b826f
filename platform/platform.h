// The operations that the remediation logic asks of Windows, as plain procedures.
//
// The logic never sees a Windows header: the few types and constants it needs are
// declared here in their Windows layout. platform/windows/ implements these on the
// real system; the unit tests link a test double in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The ANSI form of the version record that GetVersionExA fills in.
struct OSVERSIONINFOA {
    std::uint32_t dwOSVersionInfoSize;
    std::uint32_t dwMajorVersion;
    std::uint32_t dwMinorVersion;
    std::uint32_t dwBuildNumber;
    std::uint32_t dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA must keep its 148-byte ANSI layout");

// A predefined registry root, as the 32-bit value that Windows gives it.
using RegistryRoot = std::uint32_t;
constexpr RegistryRoot HKEY_CURRENT_USER = 0x80000001u;

// An open registry key; 0 is no key.
using RegistryKey = std::uintptr_t;
constexpr RegistryKey NoRegistryKey = 0;

constexpr std::uint32_t REG_SZ = 1;
constexpr std::int32_t ERROR_SUCCESS = 0;
constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;

// The caption of the program's own boxes: the removal's confirmation and the
// failure report.
constexpr wchar_t ProgramTitle[] = L"Desktop Remediation";

// A runtime service that failed: which operation, on what (a path or a name),
// and the system's error code for it.
struct RunTimeFailure {
    std::wstring operation;
    std::wstring subject;
    std::uint32_t errorCode;
};

// Start-up: calls the program's Main once, hands a failure that leaves it to
// ReportUnhandledFailure, and returns the process's exit status: 0 for a normal
// end, 1 after a reported failure.
int RunMain();

// Windows API functions: they never raise, and report through their result.
std::int32_t GetVersionExA(OSVERSIONINFOA& info);
std::int32_t RegCreateKeyA(const RegistryRoot& root, const std::string& subKey, RegistryKey& key);
std::int32_t RegSetValueExA(const RegistryKey& key, const std::string& valueName, std::uint32_t reserved,
                            std::uint32_t type, const char* data, std::uint32_t byteCount);
std::int32_t RegCloseKey(const RegistryKey& key);

// The text in the system's ANSI code page, for the registry's A functions.
std::string ToAnsiCodePage(const std::wstring& text);

// Runtime services: each raises RunTimeFailure when its system call fails.
// An unset variable is no failure: it reads as empty text.
std::wstring ReadEnvironmentVariable(const std::wstring& name);
std::uint32_t QueryFileAttributes(const std::wstring& path);
void DeleteFiles(const std::wstring& path);
void ShowMessageBox(const std::wstring& prompt, std::uint32_t style, const std::wstring& title);

// Tells the user which failure ended the run. The caller then ends the process.
void ReportUnhandledFailure(const RunTimeFailure& failure);

}  // namespace platform
