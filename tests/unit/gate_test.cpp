// The operating-system gate: only major version 5 is refused, with one box,
// before anything on the system is looked at or changed.
#include <gmock/gmock.h>

#include "fake_platform.h"
#include "remediation/remediation.h"

using ::testing::ElementsAre;

namespace {

constexpr wchar_t Refusal[] = L"This application does not apply to Windows XP.";

class GateTest : public FakeSystemTest {};

TEST_F(GateTest, VersionFiveShowsOnlyTheRefusal) {
    system.majorVersion = 5;
    system.SetAppData(L"C:\\Users\\ann\\AppData\\Roaming");

    EXPECT_EQ(platform::RunMain(), 0) << "a refusal is a normal end";

    EXPECT_THAT(system.calls, ElementsAre(L"GetVersionExA", std::wstring(L"ShowMessageBox ") + Refusal))
        << "on version 5 nothing but the version query and the refusal may reach the system";
    ASSERT_EQ(system.boxes.size(), 1u);
    EXPECT_EQ(system.boxes[0].prompt, Refusal);
    EXPECT_EQ(system.boxes[0].style, 0u) << "OK button only, no icon";
    EXPECT_EQ(system.boxes[0].title, L"OS Not Supported.");
}

class GatePassesTest : public FakeSystemTest, public ::testing::WithParamInterface<std::optional<std::uint32_t>> {};

TEST_P(GatePassesTest, AnyOtherVersionRunsBothRepairs) {
    system.majorVersion = GetParam();
    system.SetAppData(L"C:\\Users\\ann\\AppData\\Roaming");

    EXPECT_EQ(platform::RunMain(), 0);

    EXPECT_TRUE(system.boxes.empty()) << "no refusal, and no shortcut to confirm";
    EXPECT_THAT(system.calls, ::testing::Contains(L"ReadEnvironmentVariable Appdata")) << "the removal did not run";
    EXPECT_THAT(system.calls, ::testing::Contains(L"RegSetValueExA Start Page")) << "the start page was not written";
}

// 6 is also what Windows 8 to 11 report to a program without a manifest; a
// failed query leaves 0.
INSTANTIATE_TEST_SUITE_P(Versions, GatePassesTest,
                         ::testing::Values(6u, 10u, 4u, 0u, std::nullopt, 0xFFFFFFFBu /* -5 */));

TEST_F(GateTest, ServiceAccountsChangeNothingAndEndWithStatusFour) {
    // LocalSystem, LocalService, NetworkService: a deployment tool's System
    // install. Their HKEY_CURRENT_USER and APPDATA belong to no user.
    for (const wchar_t* sid : {L"S-1-5-18", L"S-1-5-19", L"S-1-5-20"}) {
        fake::Reset();
        system.userSid = sid;
        system.SetAppData(L"C:\\Windows\\system32\\config\\systemprofile\\AppData\\Roaming");

        EXPECT_EQ(platform::RunMain(), 4) << sid;

        EXPECT_THAT(system.calls, ElementsAre(L"GetVersionExA", L"ReadProcessUserSid"))
            << sid << ": nothing may be looked at, shown or changed";
    }
}

TEST_F(GateTest, VersionFiveIsRefusedBeforeTheAccountIsAsked) {
    system.majorVersion = 5;
    system.userSid = L"S-1-5-18";
    EXPECT_EQ(platform::RunMain(), 0);
    EXPECT_EQ(system.boxes.size(), 1u);
}

TEST_F(GateTest, VersionRecordIsPreparedInItsAnsiForm) {
    system.majorVersion = 6;

    remediation::GetOSMajorVersion();

    ASSERT_TRUE(system.versionRecordReceived) << "GetVersionExA was not called";
    const platform::OSVERSIONINFOA& record = *system.versionRecordReceived;
    EXPECT_EQ(record.dwOSVersionInfoSize, 148u);
    EXPECT_EQ(record.dwMajorVersion, 0u);
    EXPECT_EQ(record.dwMinorVersion, 0u);
    EXPECT_EQ(record.dwBuildNumber, 0u);
    EXPECT_EQ(record.dwPlatformId, 0u);
    EXPECT_EQ(std::string(record.szCSDVersion, sizeof(record.szCSDVersion)), std::string(128, ' '));
}

TEST_F(GateTest, MajorVersionIsWrittenAsSignedDecimal) {
    const std::pair<std::optional<std::uint32_t>, const wchar_t*> cases[] = {
        {std::nullopt, L"0"},          {0u, L"0"}, {5u, L"5"}, {6u, L"6"}, {10u, L"10"}, {0xFFFFFFFFu, L"-1"},
        {0x80000000u, L"-2147483648"},
    };
    for (const auto& [reported, expected] : cases) {
        system.majorVersion = reported;
        EXPECT_EQ(remediation::GetOSMajorVersion(), expected)
            << "for dwMajorVersion " << (reported ? std::to_string(*reported) : "left unset by a failed query");
    }
}

// The failure report's error code goes through it too, up to the largest a DWORD holds.
TEST(DecimalTextTest, DigitsWithASignOnlyWhenNegative) {
    const std::pair<std::int64_t, const wchar_t*> cases[] = {
        {0, L"0"},
        {-7, L"-7"},
        {4294967295, L"4294967295"},
        {INT64_MIN, L"-9223372036854775808"},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(platform::DecimalText(value), expected) << value;
}

TEST_F(GateTest, FailureLeavingMainIsReportedOnceWithStatusOne) {
    system.SetAppData(L"C:\\p");
    const std::wstring shortcut = L"C:\\p\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\Internet Explorer.lnk";
    system.files[shortcut] = 0x20;
    system.deleteErrors[shortcut] = 5;

    EXPECT_EQ(platform::RunMain(), 1);

    ASSERT_EQ(system.reports.size(), 1u) << "the failure must be reported exactly once";
    EXPECT_EQ(system.reports[0].operation, L"DeleteFileW");
    EXPECT_EQ(system.reports[0].subject, shortcut);
    EXPECT_EQ(system.reports[0].errorCode, 5u);
    EXPECT_EQ(system.calls.back(), L"ReportUnhandledFailure DeleteFileW") << "nothing may run after the report";
}

TEST_F(GateTest, RefusalThatCannotBeShownEndsWithStatusOne) {
    // user32 missing from the system folder: the refusal cannot be shown, and
    // a run that told the user nothing must not pass for a normal end.
    system.majorVersion = 5;
    system.boxFailure = platform::RunTimeFailure{L"LoadLibraryW", L"C:\\Windows\\system32\\user32.dll", 126};

    EXPECT_EQ(platform::RunMain(), 1);

    ASSERT_EQ(system.reports.size(), 1u);
    EXPECT_EQ(system.reports[0].operation, L"LoadLibraryW");
    EXPECT_EQ(system.reports[0].errorCode, 126u);
    EXPECT_THAT(system.calls, ElementsAre(L"GetVersionExA", std::wstring(L"ShowMessageBox ") + Refusal,
                                          L"ReportUnhandledFailure LoadLibraryW"))
        << "nothing is looked at or changed on version 5, also when the box fails";
}

}  // namespace
