#include "remediation/remediation.h"

namespace remediation {
namespace {

constexpr wchar_t ExtendedLengthPrefix[] = L"\\\\?\\";
constexpr wchar_t ExtendedLengthUncPrefix[] = L"\\\\?\\UNC\\";
constexpr wchar_t DevicePrefix[] = L"\\\\.\\";

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::wstring PathForWindows(const std::wstring& path) {
    // A path that fits reaches Windows exactly as built, relative or not.
    if (path.size() < platform::MAX_PATH) return path;

    // Windows does not tidy a prefixed path: a doubled backslash or a "."
    // would stay in it as an empty or literal name. The full form is tidied.
    const std::wstring full = platform::GetFullPath(path);
    if (StartsWith(full, ExtendedLengthPrefix)) return full;
    // The device form is still bound by MAX_PATH; the extended-length one is not.
    if (StartsWith(full, DevicePrefix)) return ExtendedLengthPrefix + full.substr(4);
    if (StartsWith(full, L"\\\\")) return ExtendedLengthUncPrefix + full.substr(2);
    return ExtendedLengthPrefix + full;
}

}  // namespace remediation
