// Start-up, shared by the Windows entry point and the unit tests.
#include <new>

#include "platform/platform.h"
#include "remediation/remediation.h"

namespace platform {

constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;

int RunMain() {
    try {
        remediation::Main();
        return 0;
    } catch (const RunTimeFailure& failure) {
        ReportUnhandledFailure(failure);
    } catch (const std::bad_alloc&) {
        ReportUnhandledFailure({L"Allocating memory", L"", ERROR_NOT_ENOUGH_MEMORY});
    }
    return 1;
}

}  // namespace platform
