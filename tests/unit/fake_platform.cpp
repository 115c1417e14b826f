#include "fake_platform.h"

#include <algorithm>
#include <cwctype>

namespace fake {
namespace {

System current;

std::wstring Upper(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towupper(c); });
    return text;
}

std::wstring Widen(const std::string& ansi) { return std::wstring(ansi.begin(), ansi.end()); }

}  // namespace

System& Current() { return current; }
void Reset() { current = System(); }

std::string FakeAnsi(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0x80 | ((c >> 8) & 0x7F));
            out += static_cast<char>(c & 0xFF);
        }
    }
    return out;
}

}  // namespace fake

namespace platform {

using fake::current;

// Tick counts wrap after 49.7 days, as Windows' do.
bool Before(std::uint32_t tick, std::uint32_t other) { return static_cast<std::int32_t>(tick - other) < 0; }

std::int32_t GetVersionExA(OSVERSIONINFOA& info) {
    current.calls.push_back(L"GetVersionExA");
    current.versionRecordReceived = info;
    if (!current.majorVersion) return 0;
    info.dwMajorVersion = *current.majorVersion;
    return 1;
}

std::string ToAnsiCodePage(const std::wstring& text) { return fake::FakeAnsi(text); }

std::int32_t RegCreateKeyA(const RegistryRoot& root, const std::string& subKey, RegistryKey& key) {
    current.calls.push_back(L"RegCreateKeyA " + fake::Widen(subKey));
    current.registry.push_back({"RegCreateKeyA", root, 0, subKey, 0, 0, {}});
    key = current.createKeyResult == ERROR_SUCCESS ? current.keyGiven : NoRegistryKey;
    return current.createKeyResult;
}

std::int32_t RegSetValueExA(const RegistryKey& key, const std::string& valueName, std::uint32_t reserved,
                            std::uint32_t type, const char* data, std::uint32_t byteCount) {
    current.calls.push_back(L"RegSetValueExA " + fake::Widen(valueName));
    current.registry.push_back({"RegSetValueExA", 0, key, valueName, reserved, type, std::string(data, byteCount)});
    return current.setValueResult;
}

std::int32_t RegCloseKey(const RegistryKey& key) {
    current.calls.push_back(L"RegCloseKey");
    current.registry.push_back({"RegCloseKey", 0, key, {}, 0, 0, {}});
    return ERROR_SUCCESS;
}

std::uint32_t GetTickCount() { return current.tickCount; }

void Sleep(std::uint32_t milliseconds) {
    current.sleeps.push_back(milliseconds);
    current.tickCount += milliseconds;
}

std::wstring ReadEnvironmentVariable(const std::wstring& name) {
    current.calls.push_back(L"ReadEnvironmentVariable " + name);
    if (current.environmentThrows) std::rethrow_exception(current.environmentThrows);
    for (const auto& [variable, value] : current.environment)
        if (fake::Upper(variable) == fake::Upper(name)) return value;
    return std::wstring();
}

std::wstring ReadProcessUserSid() {
    current.calls.push_back(L"ReadProcessUserSid");
    return current.userSid;
}

std::uint32_t QueryFileAttributes(const std::wstring& path) {
    current.calls.push_back(L"QueryFileAttributes " + path);
    if (current.deletePending.count(path)) throw RunTimeFailure{L"GetFileAttributesW", path, ERROR_ACCESS_DENIED};
    const auto file = current.files.find(path);
    if (file == current.files.end()) throw RunTimeFailure{L"GetFileAttributesW", path, current.queryError};
    return file->second;
}

// A name pending deletion is still listed in its folder.
std::uint32_t ListedFileAttributes(const std::wstring& path) {
    current.calls.push_back(L"ListedFileAttributes " + path);
    const auto file = current.files.find(path);
    if (file == current.files.end())
        throw RunTimeFailure{L"FindFirstFileW", path, current.listError.value_or(current.queryError)};
    return file->second;
}

std::wstring GetFullPath(const std::wstring& path) {
    current.calls.push_back(L"GetFullPath " + path);
    if (current.fullPathError) throw RunTimeFailure{L"GetFullPathNameW", path, *current.fullPathError};
    const auto given = current.fullPaths.find(path);
    if (given != current.fullPaths.end()) return given->second;
    std::wstring full;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const wchar_t c = path[i] == L'/' ? L'\\' : path[i];
        if (c == L'\\' && i > 1 && !full.empty() && full.back() == L'\\') continue;
        full += c;
    }
    return full;
}

void DeleteFiles(const std::wstring& path) {
    current.calls.push_back(L"DeleteFiles " + path);
    const auto hold = current.held.find(path);
    if (hold != current.held.end() && Before(current.tickCount, hold->second.releasedAt))
        throw RunTimeFailure{L"DeleteFileW", path, hold->second.error};
    const auto error = current.deleteErrors.find(path);
    if (error != current.deleteErrors.end()) throw RunTimeFailure{L"DeleteFileW", path, error->second};
    // Windows refuses to delete a read-only file, and one already deleted but still held open.
    const auto file = current.files.find(path);
    if (current.deletePending.count(path) || (file != current.files.end() && (file->second & 0x1)))
        throw RunTimeFailure{L"DeleteFileW", path, ERROR_ACCESS_DENIED};
    current.files.erase(path);
    current.deleted.push_back(path);
}

void ShowMessageBox(const std::wstring& prompt, std::uint32_t style, const std::wstring& title) {
    current.calls.push_back(L"ShowMessageBox " + prompt);
    if (current.boxFailure) throw *current.boxFailure;
    current.boxes.push_back({prompt, style, title});
}

void ReportUnhandledFailure(const RunTimeFailure& failure) noexcept {
    current.calls.push_back(L"ReportUnhandledFailure " + std::wstring(failure.operation));
    current.reports.push_back(failure);
}

}  // namespace platform
