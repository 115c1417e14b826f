#include "remediation/remediation.h"

namespace remediation {

bool FileExists(const std::wstring& path, bool& searched) {
    bool exists = false;
    searched = true;
    try {
        // Read-only, hidden, system and every other bit still mean a file is there.
        exists = (platform::QueryFileAttributes(path) & platform::FILE_ATTRIBUTE_DIRECTORY) == 0;
    } catch (const platform::RunTimeFailure& failure) {
        // Nothing there to remove either way; but only "no such file" and "no
        // such folder" say that the Startup folder was looked in.
        searched = IsNotFound(failure.errorCode);
    }
    return exists;
}

}  // namespace remediation
