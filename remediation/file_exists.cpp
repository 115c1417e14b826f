#include "remediation/remediation.h"

namespace remediation {

bool FileExists(const std::wstring& path) {
    bool exists = false;
    try {
        // Read-only, hidden, system and every other bit still mean a file is there.
        exists = (platform::QueryFileAttributes(path) & platform::FILE_ATTRIBUTE_DIRECTORY) == 0;
    } catch (const platform::RunTimeFailure&) {
        // No such path, a bad name or no access: nothing there to remove.
    }
    return exists;
}

}  // namespace remediation
