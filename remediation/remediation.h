// The remediation run: the operating-system gate and the two repairs.
#pragma once

#include <string>

#include "platform/platform.h"

namespace remediation {

// The whole run, called once at start-up. A failure that it does not absorb
// (in practice a shortcut that cannot be deleted) travels out to the caller.
void Main();

// The operating system's major version as decimal text, for example "6".
std::wstring GetOSMajorVersion();

// True when the path names something other than a directory. A path that
// cannot be queried, for whatever reason, reads as false.
bool FileExists(const std::wstring& path);

// Creates or opens the key below the root and writes the value as REG_SZ,
// terminator included. Reports nothing: a key that cannot be opened is left alone.
void SetRegistryText(const platform::RegistryRoot& root, const std::wstring& keyPath, const std::wstring& valueName,
                     const std::wstring& valueText);

}  // namespace remediation
