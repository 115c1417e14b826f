#include "remediation/remediation.h"

namespace remediation {
namespace {

// A file that another program deleted while a handle to it was still open
// stays "delete pending" until that handle closes (before Windows 10 1809, and
// on SMB shares on every version): its name then answers "access denied" to a
// deletion and to a query alike. A read-only file, or one the user may not
// delete, still answers the query.
bool IsGoneOrDeletePending(const std::wstring& path) {
    try {
        platform::QueryFileAttributes(path);
    } catch (const platform::RunTimeFailure& failure) {
        return IsNotFound(failure.errorCode) || failure.errorCode == platform::ERROR_ACCESS_DENIED;
    }
    return false;
}

}  // namespace

bool DeleteFileWhenReleased(const std::wstring& path) {
    const std::uint32_t started = platform::GetTickCount();
    for (;;) {
        try {
            platform::DeleteFiles(path);
            return true;
        } catch (const platform::RunTimeFailure& failure) {
            // Another run of the program, from a logon script and a deployment
            // tool at the same logon, may have removed it since it was found.
            if (IsNotFound(failure.errorCode)) return false;
            if (failure.errorCode == platform::ERROR_ACCESS_DENIED && IsGoneOrDeletePending(path)) return false;
            // Unsigned: the difference stays right when the tick count wraps.
            const std::uint32_t waited = platform::GetTickCount() - started;
            if (!IsHeldByAnotherProgram(failure.errorCode) || waited >= HoldPatienceMilliseconds) throw;
        }
        platform::Sleep(RetryPauseMilliseconds);
    }
}

}  // namespace remediation
