#include "remediation/remediation.h"

namespace remediation {
namespace {

// Closes the key on every way out, also when a conversion below throws.
struct OpenRegistryKey {
    platform::RegistryKey handle = platform::NoRegistryKey;
    OpenRegistryKey() = default;
    OpenRegistryKey(const OpenRegistryKey&) = delete;
    OpenRegistryKey& operator=(const OpenRegistryKey&) = delete;
    ~OpenRegistryKey() {
        if (handle != platform::NoRegistryKey) platform::RegCloseKey(handle);
    }
};

}  // namespace

bool SetRegistryText(const platform::RegistryRoot& root, const std::wstring& keyPath, const std::wstring& valueName,
                     const std::wstring& valueText) {
    OpenRegistryKey key;
    if (platform::RegCreateKeyA(root, platform::ToAnsiCodePage(keyPath), key.handle) != platform::ERROR_SUCCESS) {
        key.handle = platform::NoRegistryKey;
        return false;
    }
    if (key.handle == platform::NoRegistryKey) return false;

    // A REG_SZ holds its terminator, and the count is of the converted bytes,
    // which may outnumber the characters of the text.
    const std::string data = platform::ToAnsiCodePage(valueText);
    // A key its owner may open but not write to (a read-only DACL) fails here.
    return platform::RegSetValueExA(key.handle, platform::ToAnsiCodePage(valueName), 0, platform::REG_SZ, data.c_str(),
                                    static_cast<std::uint32_t>(data.size() + 1)) == platform::ERROR_SUCCESS;
}

}  // namespace remediation
