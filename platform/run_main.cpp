// Start-up, shared by the Windows entry point and the unit tests.
#include <new>

#include "platform/platform.h"
#include "remediation/remediation.h"

namespace platform {

int RunMain() noexcept {
    // Nothing in the handlers allocates: the operation is a literal and the
    // subject is empty, so reporting cannot fail the way the run did.
    try {
        switch (remediation::Main()) {
            case remediation::Outcome::Completed: return ExitCompleted;
            case remediation::Outcome::StartPageNotWritten: return ExitStartPageNotWritten;
            case remediation::Outcome::StartupFolderNotSearched: return ExitStartupNotSearched;
            case remediation::Outcome::NotRunAsUser: return ExitNotRunAsUser;
        }
    } catch (const RunTimeFailure& failure) {
        ReportUnhandledFailure(failure);
    } catch (const std::bad_alloc&) {
        ReportUnhandledFailure({L"Allocating memory", {}, ERROR_NOT_ENOUGH_MEMORY});
    } catch (...) {
        ReportUnhandledFailure({L"An internal step", {}, ERROR_INTERNAL_ERROR});
    }
    return ExitFailed;
}

}  // namespace platform
