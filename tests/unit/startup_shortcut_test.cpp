// The startup shortcut: removed with one confirmation when it is a file in the
// user's Startup folder, left alone otherwise; the start page follows either way,
// unless the deletion itself failed.
#include <gmock/gmock.h>

#include "fake_platform.h"
#include "remediation/remediation.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

constexpr wchar_t Confirmation[] = L"Internet Explorer Has Been Successfully Removed From the Startup Group";
constexpr wchar_t AppData[] = L"C:\\Users\\ann\\AppData\\Roaming";
constexpr wchar_t Shortcut[] =
    L"C:\\Users\\ann\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\Internet Explorer.lnk";

constexpr std::uint32_t ReadOnly = 0x1, Hidden = 0x2, System = 0x4, Directory = 0x10, Archive = 0x20, Normal = 0x80;

class ShortcutTest : public FakeSystemTest {
protected:
    void SetUp() override {
        FakeSystemTest::SetUp();
        system.SetAppData(AppData);
    }
    bool StartPageWritten() const {
        for (const auto& call : system.registry)
            if (call.operation == "RegSetValueExA") return true;
        return false;
    }
};

class ShortcutPresentTest : public ShortcutTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(ShortcutPresentTest, IsDeletedThenStartPageIsWrittenThenConfirmedOnce) {
    system.files[Shortcut] = GetParam();

    EXPECT_EQ(platform::RunMain(), 0);

    EXPECT_THAT(system.deleted, ElementsAre(Shortcut));
    ASSERT_EQ(system.boxes.size(), 1u);
    EXPECT_EQ(system.boxes[0].prompt, Confirmation);
    EXPECT_EQ(system.boxes[0].style, 0u);
    EXPECT_EQ(system.boxes[0].title, platform::ProgramTitle);

    const auto& calls = system.calls;
    const auto deletion = std::find(calls.begin(), calls.end(), std::wstring(L"DeleteFiles ") + Shortcut);
    const auto box = std::find(calls.begin(), calls.end(), std::wstring(L"ShowMessageBox ") + Confirmation);
    const auto write = std::find(calls.begin(), calls.end(), L"RegSetValueExA Start Page");
    // Nothing waits behind a box that nobody may answer.
    EXPECT_TRUE(deletion < write && write < box) << "expected deletion, then the start page, then confirmation";
}

// Only the directory bit says there is no file: hidden and system files count
// (read-only ones too, below, though Windows refuses to delete them).
INSTANTIATE_TEST_SUITE_P(Attributes, ShortcutPresentTest, ::testing::Values(Normal, Archive, Hidden | System));

class ShortcutAbsentTest : public ShortcutTest, public ::testing::WithParamInterface<std::optional<std::uint32_t>> {};

TEST_P(ShortcutAbsentTest, NothingIsDeletedOrShownAndStartPageIsWritten) {
    if (GetParam()) system.files[Shortcut] = *GetParam();

    EXPECT_EQ(platform::RunMain(), 0);

    EXPECT_THAT(system.deleted, IsEmpty());
    EXPECT_THAT(system.boxes, IsEmpty());
    EXPECT_TRUE(StartPageWritten());
}

INSTANTIATE_TEST_SUITE_P(NoFile, ShortcutAbsentTest,
                         ::testing::Values(std::nullopt, Directory, Directory | Hidden | ReadOnly));

TEST_F(ShortcutTest, FailingAttributeQueryReadsAsNoFileButOnlyNotFoundCountsAsSearched) {
    // No such file or folder: the Startup folder was looked in. Anything else
    // (access denied; an unreachable server: 53, 66, 67, 1231; a name no path
    // may hold: 123) means it could not be, and the run must not end with 0.
    const std::pair<std::uint32_t, int> cases[] = {{2, 0},  {3, 0},  {5, 3},   {53, 3},
                                                   {66, 3}, {67, 3}, {123, 3}, {1231, 3}};
    for (const auto& [error, status] : cases) {
        fake::Reset();
        system.SetAppData(AppData);
        system.queryError = error;

        bool searched = !status;
        EXPECT_FALSE(remediation::FileExists(Shortcut, searched)) << "error " << error;
        EXPECT_EQ(searched, status == 0) << "error " << error;
        EXPECT_EQ(platform::RunMain(), status) << "error " << error;
        EXPECT_THAT(system.deleted, IsEmpty());
        EXPECT_THAT(system.boxes, IsEmpty()) << "error " << error << ": no box either way";
        EXPECT_TRUE(StartPageWritten()) << "error " << error;
    }
}

TEST_F(ShortcutTest, StartPageNotWrittenOutweighsStartupNotSearched) {
    system.queryError = 53;
    system.setValueResult = 5;
    EXPECT_EQ(platform::RunMain(), 2);
}

TEST_F(ShortcutTest, ReadOnlyShortcutIsReportedBeforeConfirmationAndStartPage) {
    // Windows refuses to delete a read-only file, with access denied; the
    // shortcut still answers its attributes, so it is no deletion pending.
    for (const std::uint32_t attributes : {ReadOnly, ReadOnly | Hidden | System | Archive}) {
        fake::Reset();
        system.SetAppData(AppData);
        system.files[Shortcut] = attributes;
        system.commandLine = L"x.exe /Log C:\\r.log";

        EXPECT_EQ(platform::RunMain(), 1);

        ASSERT_EQ(system.log.size(), 2u);
        EXPECT_THAT(system.log[0],
                    ::testing::EndsWith(L"the shortcut could not be deleted: text of error 5 (error 5)"));
        EXPECT_EQ(system.log[1], L"2026-12-09 12:00:00\t-\t-\texit status 1");
        EXPECT_THAT(system.boxes, IsEmpty()) << "a shortcut that is still there must not be confirmed as removed";
        EXPECT_THAT(system.registry, IsEmpty()) << "nothing runs after a failed deletion";
        ASSERT_EQ(system.reports.size(), 1u);
        EXPECT_EQ(system.reports[0].subject, Shortcut);
        EXPECT_EQ(system.reports[0].errorCode, 5u);
        EXPECT_EQ(system.files.count(Shortcut), 1u);
    }
}

TEST_F(ShortcutTest, ShortcutDeletedButStillHeldOpenIsGone) {
    // Another run, Explorer or a scanner deleted it and still holds it open:
    // deletion and query both answer access denied until that handle closes,
    // yet the folder still lists it.
    system.files[Shortcut] = Normal;
    system.deletePending.insert(Shortcut);

    // Found before the other program deleted it: this run's deletion is refused.
    EXPECT_FALSE(remediation::DeleteFileWhenReleased(Shortcut)) << "a deletion pending is no failure";
    EXPECT_THAT(system.sleeps, IsEmpty());

    // Pending already when this run looks: the listing finds it, the deletion
    // reads it as gone; nothing to confirm, nothing to report, the job is done.
    EXPECT_EQ(platform::RunMain(), 0);
    EXPECT_THAT(system.calls, Contains(std::wstring(L"ListedFileAttributes ") + Shortcut));
    EXPECT_THAT(system.boxes, IsEmpty()) << "this run removed nothing, so it confirms nothing";
    EXPECT_THAT(system.reports, IsEmpty());
    EXPECT_TRUE(StartPageWritten());

    // A folder that cannot be listed either could not be searched.
    fake::Reset();
    system.SetAppData(AppData);
    system.queryError = system.listError.emplace(5);
    EXPECT_EQ(platform::RunMain(), 3);
    EXPECT_THAT(system.deleted, IsEmpty());
}

TEST_F(ShortcutTest, NoSuchFileCountsAsSearchedOnlyBelowAnAppdataThatIsAFolder) {
    // A profile on a drive not mapped yet, or in a folder that is not there,
    // answers "no such file" for the shortcut too; a profile without a Startup
    // folder has nothing to clean.
    const std::pair<std::optional<std::uint32_t>, int> cases[] = {{std::nullopt, 3}, {Normal, 3}, {Directory, 0}};
    for (const auto& [appDataAttributes, status] : cases) {
        fake::Reset();
        system.environment[L"APPDATA"] = AppData;
        if (appDataAttributes) system.files[AppData] = *appDataAttributes;
        system.queryError = 3;

        EXPECT_EQ(platform::RunMain(), status) << "APPDATA " << (appDataAttributes ? *appDataAttributes : 0u);
        EXPECT_THAT(system.calls, Contains(std::wstring(L"QueryFileAttributes ") + AppData));
        EXPECT_THAT(system.boxes, IsEmpty());
        EXPECT_TRUE(StartPageWritten());
    }
}

TEST_F(ShortcutTest, ConfirmationThatCannotBeShownEndsTheRunWithBothRepairsDone) {
    system.files[Shortcut] = Normal;
    system.boxFailure = platform::RunTimeFailure{L"GetProcAddress", L"user32.dll MessageBoxW", 127};
    system.commandLine = L"x.exe /Log C:\\r.log";

    EXPECT_EQ(platform::RunMain(), 1);
    EXPECT_EQ(system.log.back(), L"2026-12-09 12:00:00\t-\t-\texit status 1") << "the report gives the status";

    EXPECT_THAT(system.deleted, ElementsAre(Shortcut)) << "the shortcut was deleted before the box";
    EXPECT_TRUE(StartPageWritten()) << "the start page is written before the box";
    ASSERT_EQ(system.reports.size(), 1u);
    EXPECT_EQ(system.reports[0].operation, L"GetProcAddress");
}

TEST_F(ShortcutTest, UnsetOrEmptyAppdataLooksForNothing) {
    for (const bool set : {false, true}) {
        fake::Reset();
        if (set) system.environment[L"APPDATA"] = L"";
        // A file where the bare fixed part would point, at the root of the drive.
        system.files[L"\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\Internet Explorer.lnk"] = Normal;

        EXPECT_EQ(platform::RunMain(), 3) << "the start page is written, but no Startup folder was searched";

        EXPECT_THAT(system.calls, Not(Contains(::testing::StartsWith(L"QueryFileAttributes"))))
            << (set ? "empty" : "unset") << " Appdata must not lead to a file outside any profile";
        EXPECT_THAT(system.deleted, IsEmpty());
        EXPECT_TRUE(StartPageWritten());
    }
}

TEST_F(ShortcutTest, AppdataIsJoinedUnchanged) {
    system.SetAppData(L"D:\\Profiles\\ann\\");

    platform::RunMain();

    EXPECT_THAT(system.calls,
                Contains(L"QueryFileAttributes D:\\Profiles\\ann\\\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\"
                         L"Internet Explorer.lnk"))
        << "a trailing backslash gives two at the join";
}

// Another program holding the shortcut without delete sharing, for a moment
// or for good: the shell at logon, or security software scanning it.
class HeldShortcutTest : public ShortcutTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(HeldShortcutTest, ReleasedWithinTwoSecondsIsStillDeletedAndConfirmedOnce) {
    system.files[Shortcut] = Normal;
    system.held[Shortcut] = {GetParam(), system.tickCount + 1300};

    EXPECT_EQ(platform::RunMain(), 0);

    EXPECT_THAT(system.deleted, ElementsAre(Shortcut));
    EXPECT_EQ(system.boxes.size(), 1u);
    EXPECT_THAT(system.reports, IsEmpty());
    EXPECT_TRUE(StartPageWritten());
    for (const std::uint32_t pause : system.sleeps) EXPECT_LE(pause, 250u) << "pauses should be short";
}

TEST_P(HeldShortcutTest, HeldForGoodIsReportedAfterAboutTwoSeconds) {
    system.files[Shortcut] = Normal;
    system.held[Shortcut] = {GetParam(), system.tickCount + 3600000};
    const std::uint32_t started = system.tickCount;

    EXPECT_EQ(platform::RunMain(), 1);

    const std::uint32_t waited = system.tickCount - started;
    EXPECT_GE(waited, 1500u) << "gave up too soon";
    EXPECT_LE(waited, 3000u) << "kept the user waiting too long";
    ASSERT_EQ(system.reports.size(), 1u);
    EXPECT_EQ(system.reports[0].errorCode, GetParam()) << "the report names the last failure, as the system gave it";
    EXPECT_THAT(system.boxes, IsEmpty());
    EXPECT_FALSE(StartPageWritten());
}

INSTANTIATE_TEST_SUITE_P(SharingAndLockViolations, HeldShortcutTest, ::testing::Values(32u, 33u));

TEST_F(ShortcutTest, PatienceOutlastsTheTickCountWrapping) {
    system.tickCount = 0xFFFFFFFFu - 500;  // 49.7 days after boot, the count starts again at 0
    system.files[Shortcut] = Normal;
    system.held[Shortcut] = {32, system.tickCount + 1300};

    EXPECT_EQ(platform::RunMain(), 0);
    EXPECT_THAT(system.deleted, ElementsAre(Shortcut));
}

TEST_F(ShortcutTest, OtherDeletionFailuresAreReportedAtOnce) {
    system.files[Shortcut] = ReadOnly;  // access denied: waiting changes nothing

    EXPECT_EQ(platform::RunMain(), 1);
    EXPECT_THAT(system.sleeps, IsEmpty());
}

TEST_F(ShortcutTest, ShortcutGoneBeforeItsDeletionIsNoFailureAndNotConfirmed) {
    // Another run removed it between this run's look and its deletion.
    for (const std::uint32_t error : {2u, 3u}) {
        fake::Reset();
        system.SetAppData(AppData);
        system.files[Shortcut] = Normal;
        system.deleteErrors[Shortcut] = error;

        EXPECT_EQ(platform::RunMain(), 0) << "error " << error;

        EXPECT_THAT(system.boxes, IsEmpty()) << "this run removed nothing, so it confirms nothing";
        EXPECT_THAT(system.reports, IsEmpty());
        EXPECT_TRUE(StartPageWritten());
    }
}

TEST_F(ShortcutTest, AccessDeniedIsGoneOnlyWhenTheNameNoLongerAnswers) {
    // Access denied, then a query that finds nothing: removed meanwhile.
    system.deleteErrors[Shortcut] = 5;
    EXPECT_FALSE(remediation::DeleteFileWhenReleased(Shortcut));
    // Access denied, then a query that finds the file: the denial stands.
    system.files[Shortcut] = Normal;
    EXPECT_THROW(remediation::DeleteFileWhenReleased(Shortcut), platform::RunTimeFailure);
}

}  // namespace
