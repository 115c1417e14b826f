#include "remediation/remediation.h"

namespace remediation {
namespace {

// Read-only, hidden, system and every other bit still mean a file is there.
bool IsFile(std::uint32_t attributes) { return (attributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0; }

}  // namespace

bool FileExists(const std::wstring& path, bool& searched) {
    searched = true;
    std::uint32_t queryError = 0;
    try {
        return IsFile(platform::QueryFileAttributes(path));
    } catch (const platform::RunTimeFailure& failure) {
        queryError = failure.errorCode;
    }
    // Nothing there to remove either way; but only "no such file" and "no such
    // folder" say that the Startup folder was looked in.
    if (IsNotFound(queryError)) return false;
    if (queryError != platform::ERROR_ACCESS_DENIED) {
        searched = false;
        return false;
    }
    // A shortcut that another program deleted while a third still holds it
    // open answers "access denied" to every query, yet its folder still lists
    // it: it goes to the deletion, which reads it as gone.
    try {
        return IsFile(platform::ListedFileAttributes(path));
    } catch (const platform::RunTimeFailure&) {
        searched = false;
        return false;
    }
}

std::uint32_t AttributesOrNone(const std::wstring& path) {
    try {
        return platform::QueryFileAttributes(path);
    } catch (const platform::RunTimeFailure&) {
        return 0;
    }
}

bool FolderExists(const std::wstring& path) {
    return (AttributesOrNone(path) & platform::FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace remediation
