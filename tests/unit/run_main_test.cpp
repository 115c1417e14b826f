// Start-up: whatever leaves Main, the process ends with a status a deployment
// tool can read (never the 3 of an abort) and the user is told.
#include <gmock/gmock.h>

#include <stdexcept>

#include "fake_platform.h"
#include "remediation/remediation.h"

namespace {

static_assert(noexcept(platform::RunMain()), "nothing may leave the start-up");
static_assert(noexcept(platform::ReportUnhandledFailure(std::declval<const platform::RunTimeFailure&>())),
              "the failure report must never raise");

class RunMainTest : public FakeSystemTest {};

TEST_F(RunMainTest, AnyFailureEndsWithStatusOneAndOneReport) {
    struct Case {
        const char* name;
        std::exception_ptr thrown;
        std::wstring_view operation;
        std::uint32_t errorCode;
    };
    const Case cases[] = {
        {"out of memory", std::make_exception_ptr(std::bad_alloc()), L"Allocating memory", 8},
        {"a standard exception", std::make_exception_ptr(std::length_error("basic_string::_M_create")),
         L"An internal step", 1359},
        {"something that is no exception class", std::make_exception_ptr(42), L"An internal step", 1359},
    };
    for (const Case& c : cases) {
        fake::Reset();
        system.environmentThrows = c.thrown;

        EXPECT_EQ(platform::RunMain(), 1) << c.name;

        ASSERT_EQ(system.reports.size(), 1u) << c.name;
        EXPECT_EQ(system.reports[0].operation, c.operation) << c.name;
        EXPECT_EQ(system.reports[0].errorCode, c.errorCode) << c.name;
        EXPECT_TRUE(system.registry.empty()) << c.name << ": nothing runs after the failure";
    }
}

}  // namespace
