// Start-up, and the decimal text of numbers, shared by the Windows side and the unit tests.
#include <new>

#include "platform/platform.h"
#include "remediation/remediation.h"

namespace platform {

int RunMain() noexcept {
    // Nothing in the handlers allocates: the operation is a literal and the
    // subject is empty, so reporting cannot fail the way the run did.
    try {
        return remediation::ExitStatus(remediation::Main());
    } catch (const RunTimeFailure& failure) {
        ReportUnhandledFailure(failure);
    } catch (const std::bad_alloc&) {
        ReportUnhandledFailure({L"Allocating memory", {}, ERROR_NOT_ENOUGH_MEMORY});
    } catch (...) {
        ReportUnhandledFailure({L"An internal step", {}, ERROR_INTERNAL_ERROR});
    }
    return ExitFailed;
}

std::wstring DecimalText(std::int64_t value) {
    // The magnitude in unsigned arithmetic, where the most negative value has one too.
    std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    wchar_t digits[21];
    wchar_t* first = digits + 21;
    do {
        *--first = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) *--first = L'-';
    return std::wstring(first, digits + 21);
}

}  // namespace platform
