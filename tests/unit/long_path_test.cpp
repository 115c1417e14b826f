// Windows refuses a path of MAX_PATH characters or more from a program that is
// not long-path aware, unless the path carries the extended-length prefix; it
// then takes the path as it stands, untidied.
#include <gmock/gmock.h>

#include "fake_platform.h"
#include "remediation/remediation.h"

using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

constexpr wchar_t Below[] = L"\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\Internet Explorer.lnk";
const std::size_t BelowLength = std::wcslen(Below);

// An APPDATA of `prefix` padded with x's so that the shortcut path under it is
// exactly `length` characters long.
std::wstring AppDataFor(const std::wstring& prefix, std::size_t length, const std::wstring& suffix = L"") {
    return prefix + std::wstring(length - BelowLength - prefix.size() - suffix.size(), L'x') + suffix;
}

class LongPathTest : public FakeSystemTest {};

TEST_F(LongPathTest, PathsTakeTheFormWindowsTakes) {
    struct Case {
        const char* name;
        std::wstring appData;
        std::wstring expectedPrefix;  // what the path handed to Windows must start with
        std::wstring expectedRest;    // and what must follow the APPDATA part
    };
    const std::wstring underLimit = AppDataFor(L"C:\\Users\\ann\\", 259);
    const std::wstring atLimit = AppDataFor(L"C:\\Users\\ann\\", 260);
    const std::wstring unc = AppDataFor(L"\\\\fs01\\profiles$\\ann\\", 300);
    const std::wstring trailing = AppDataFor(L"D:\\Redirected\\ann\\", 300, L"\\");
    const std::wstring slashes = AppDataFor(L"D:/Redirected/ann/", 300);
    const std::wstring device = AppDataFor(L"\\\\.\\C:\\Users\\ann\\", 300);
    const Case cases[] = {
        {"259 characters: as built", underLimit, underLimit, Below},
        {"260 characters: prefixed", atLimit, L"\\\\?\\" + atLimit, Below},
        {"UNC path", unc, L"\\\\?\\UNC\\fs01\\profiles$\\ann\\", Below},
        {"trailing backslash in APPDATA folds into one", trailing, L"\\\\?\\" + trailing.substr(0, trailing.size() - 1),
         Below},
        {"forward slashes become backslashes", slashes, L"\\\\?\\D:\\Redirected\\ann\\", Below},
        {"the device form, still bound by MAX_PATH, becomes extended-length", device, L"\\\\?\\C:\\Users\\ann\\x",
         Below},
    };
    for (const Case& c : cases) {
        fake::Reset();
        const std::wstring built = c.appData + Below;
        system.SetAppData(c.appData);

        const std::wstring handed = remediation::PathForWindows(built);

        EXPECT_THAT(handed, StartsWith(c.expectedPrefix)) << c.name;
        EXPECT_EQ(handed.substr(handed.size() - BelowLength), c.expectedRest) << c.name;
        EXPECT_EQ(handed.find(L"\\\\", 2), std::wstring::npos) << c.name << ": an empty name after the prefix";
        if (built.size() < platform::MAX_PATH) {
            EXPECT_EQ(handed, built) << c.name << ": a path that fits reaches Windows exactly as built";
        }
    }
}

TEST_F(LongPathTest, ShortPathIsNotResolved) {
    // A relative or odd path that fits is Windows' to resolve, as it always was.
    EXPECT_EQ(remediation::PathForWindows(L"profile\\x.lnk"), L"profile\\x.lnk");
    EXPECT_THAT(system.calls, IsEmpty());
}

TEST_F(LongPathTest, AlreadyPrefixedPathIsLeftAsItIs) {
    const std::wstring prefixed = AppDataFor(L"\\\\?\\C:\\Users\\ann\\", 300) + Below;
    system.fullPaths[prefixed] = prefixed;
    EXPECT_EQ(remediation::PathForWindows(prefixed), prefixed);
}

TEST_F(LongPathTest, LongAppdataReachesQueryAndDeletionPrefixed) {
    const std::wstring appData = AppDataFor(L"C:\\Users\\ann\\", 400);
    const std::wstring handed = L"\\\\?\\" + appData + Below;
    system.SetAppData(appData);
    system.files[handed] = 0x20;

    EXPECT_EQ(platform::RunMain(), 0);

    EXPECT_THAT(system.calls, Contains(L"QueryFileAttributes " + handed));
    EXPECT_THAT(system.calls, Contains(L"DeleteFiles " + handed));
    EXPECT_EQ(system.boxes.size(), 1u);
}

TEST_F(LongPathTest, FullPathThatCannotBeMadeIsReported) {
    system.SetAppData(AppDataFor(L"C:\\Users\\ann\\", 400));
    system.fullPathError = 206;  // ERROR_FILENAME_EXCED_RANGE

    EXPECT_EQ(platform::RunMain(), 1) << "the Startup folder could not be looked at: that is no clean run";

    ASSERT_EQ(system.reports.size(), 1u);
    EXPECT_EQ(system.reports[0].operation, L"GetFullPathNameW");
    EXPECT_THAT(system.calls, ::testing::Not(Contains(StartsWith(L"RegSetValueExA"))));
}

}  // namespace
