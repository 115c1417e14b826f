// /AllProfiles: every user's profile and the Default profile from one
// privileged run; each repaired as the user's own run would be, hives loaded
// only for their own repair, a shortcut deleted only where it really is, and
// the marker written only when everything was done.
#include <gmock/gmock.h>

#include <functional>

#include "fake_platform.h"
#include "remediation/remediation.h"
#include "start_page_url.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

constexpr wchar_t Ann[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr wchar_t AnnFolder[] = L"C:\\Users\\ann";
constexpr wchar_t Bob[] = L"S-1-5-21-1004336348-1177238915-682003330-1002";
constexpr wchar_t BobFolder[] = L"C:\\Users\\bob";
constexpr wchar_t Below[] =
    L"\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\Internet Explorer.lnk";
constexpr wchar_t StartPage[] = L"Software\\Microsoft\\Internet Explorer\\Main|Start Page";
constexpr wchar_t AppDataSetting[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders|AppData";
constexpr wchar_t Marker[] = L"SOFTWARE\\Desktop Remediation|Start Page";

class AllProfilesTest : public FakeSystemTest {
protected:
    void SetUp() override {
        FakeSystemTest::SetUp();
        system.commandLine = L"\"C:\\Program Files\\remediate-x64.exe\" /AllProfiles /Log C:\\Windows\\Temp\\r.log";
        system.userSid = L"S-1-5-18";
    }
    // A profile with the shortcut in its Startup folder.
    void AddProfile(const std::wstring& sid, const std::wstring& folder, bool signedIn = false) {
        system.AddProfile(sid, folder, {}, signedIn);
        system.files[folder + Below] = 0x20;
    }
    bool ShortcutThere(const std::wstring& folder) const { return system.files.count(folder + Below) != 0; }
    // The start page in the profile's hive: the loaded one, or its file.
    std::wstring StartPageOf(const std::wstring& sid, const std::wstring& folder) const {
        const auto& hives = system.loadedHives.count(sid) ? system.loadedHives : system.hiveFiles;
        const auto hive = hives.find(system.loadedHives.count(sid) ? sid : folder + L"\\NTUSER.DAT");
        if (hive == hives.end() || !hive->second.count(StartPage)) return L"(none)";
        return hive->second.at(StartPage);
    }
    std::wstring Log() const {
        std::wstring all;
        for (const auto& line : system.log) all += line + L"\n";
        return all;
    }
};

TEST_F(AllProfilesTest, EachKindOfProfile) {
    struct Row {
        const char* name;
        std::function<void(fake::System&)> stage;  // on top of Ann's profile, not signed in
        int status;
        bool repaired;        // shortcut deleted and start page written
        const wchar_t* said;  // in Ann's line of the report, or "" for none at all
    };
    const std::wstring annHive = std::wstring(AnnFolder) + L"\\NTUSER.DAT";
    const std::wstring shortcut = std::wstring(AnnFolder) + Below;
    const fake::System::Hold forGood{32, 999999};  // a sharing violation that outlasts the patience
    const Row rows[] = {
        {"not signed in", [](fake::System&) {}, 0, true, L"shortcut removed; start page written"},
        {"signed in: written in the loaded hive",
         [&](fake::System& s) { s.loadedHives[Ann] = s.hiveFiles.at(annHive), s.hiveFiles.erase(annHive); }, 0, true,
         L"shortcut removed; start page written"},
        {"an Entra ID account", [](fake::System& s) { s.profileList[0].keyName = L"S-1-12-1-3613495-1161431-2-3"; }, 0,
         true, L"shortcut removed"},
        {"a .bak copy", [](fake::System& s) { s.profileList[0].keyName += L".bak"; }, 0, false, L""},
        {"LocalSystem", [](fake::System& s) { s.profileList[0].keyName = L"S-1-5-18"; }, 0, false, L""},
        {"a stale entry", [](fake::System& s) { s.files.erase(AnnFolder); }, 0, false,
         L"its profile folder is not there"},
        {"mandatory by its state", [](fake::System& s) { s.profileList[0].state = 0x1; }, 3, false, L"mandatory"},
        {"mandatory by NTUSER.MAN", [&](fake::System& s) { s.files[std::wstring(AnnFolder) + L"\\NTUSER.MAN"] = 0x20; },
         3, false, L"mandatory"},
        {"temporary", [](fake::System& s) { s.profileList[0].state = 0x800; }, 3, false, L"temporary profile"},
        {"roaming, not signed in", [](fake::System& s) { s.profileList[0].roaming = true; }, 3, false,
         L"roaming profile whose user is not signed in"},
        {"roaming, signed in",
         [&](fake::System& s) {
             s.profileList[0].roaming = true;
             s.loadedHives[Ann] = s.hiveFiles.at(annHive);
             s.hiveFiles.erase(annHive);
         },
         0, true, L"shortcut removed"},
        {"a folder without its hive", [&](fake::System& s) { s.files.erase(annHive); }, 3, false, L"no NTUSER.DAT"},
        {"a hive in use", [&](fake::System& s) { s.loadErrors[annHive] = 32; }, 3, false, L"hive is in use"},
        {"a hive that will not load", [&](fake::System& s) { s.loadErrors[annHive] = 1009; }, 3, false,
         L"could not be loaded: text of error 1009 (error 1009)"},
        {"a shortcut held open past the patience", [&](fake::System& s) { s.held[shortcut] = forGood; }, 1, false,
         L"the shortcut could not be deleted: text of error 32"},
        {"a Startup folder that cannot be opened", [&](fake::System& s) { s.openErrors[shortcut] = 5; }, 3, false,
         L"the Startup folder could not be looked in: text of error 5"},
    };
    for (const Row& row : rows) {
        fake::Reset();
        SetUp();
        AddProfile(Ann, AnnFolder);
        row.stage(system);

        EXPECT_EQ(platform::RunMain(), row.status) << row.name;

        EXPECT_EQ(!ShortcutThere(AnnFolder), row.repaired) << row.name;
        // A Startup folder not searched still gets its start page, as in the user's run.
        EXPECT_EQ(StartPageOf(Ann, AnnFolder) == remediation::StartPageUrl,
                  row.repaired || std::string(row.name) == "a Startup folder that cannot be opened")
            << row.name;
        if (*row.said) {
            EXPECT_THAT(Log(), HasSubstr(std::wstring(AnnFolder) + L"\t")) << row.name;
            EXPECT_THAT(Log(), HasSubstr(row.said)) << row.name;
        } else {
            EXPECT_THAT(Log(), ::testing::Not(HasSubstr(AnnFolder))) << row.name;
        }
        // Only the hives of users signed in stay, under their SIDs.
        for (const auto& [name, hive] : system.loadedHives) EXPECT_EQ(name, Ann) << row.name;
        EXPECT_EQ(system.machine.count(Marker) != 0, row.status == 0) << row.name;
        EXPECT_FALSE(system.privilegesEnabled) << row.name << ": the privileges stay on only around a load";
    }
}

TEST_F(AllProfilesTest, HivesAreLoadedUnderTheProgramsOwnNameWithPrivilegesOnlyAroundLoadAndUnload) {
    AddProfile(Ann, AnnFolder);
    system.defaultProfileFolder = L"C:\\Users\\Default";
    system.files[L"C:\\Users\\Default"] = platform::FILE_ATTRIBUTE_DIRECTORY;
    system.files[L"C:\\Users\\Default\\NTUSER.DAT"] = 0x20;
    system.files[std::wstring(L"C:\\Users\\Default") + Below] = 0x20;
    system.hiveFiles[L"C:\\Users\\Default\\NTUSER.DAT"] = {};

    EXPECT_EQ(platform::RunMain(), 0);

    EXPECT_THAT(
        system.hiveCalls,
        ElementsAre(std::wstring(L"load Desktop Remediation ") + Ann + L" C:\\Users\\ann\\NTUSER.DAT (privileged)",
                    std::wstring(L"unload Desktop Remediation ") + Ann + L" (privileged)",
                    L"load Desktop Remediation Default C:\\Users\\Default\\NTUSER.DAT (privileged)",
                    L"unload Desktop Remediation Default (privileged)"));
    EXPECT_FALSE(ShortcutThere(L"C:\\Users\\Default"));
    EXPECT_EQ(StartPageOf(L"Default", L"C:\\Users\\Default"), remediation::StartPageUrl);
    EXPECT_EQ(system.machine.at(Marker), remediation::StartPageUrl);
    EXPECT_EQ(system.log.back(), L"2026-12-09 12:00:00\t-\t-\texit status 0");
}

TEST_F(AllProfilesTest, OneFailingProfileStopsNoOtherAndTheMostSeriousOutcomeIsTheStatus) {
    const wchar_t* carl = L"S-1-5-21-1004336348-1177238915-682003330-1003";
    AddProfile(Ann, AnnFolder);
    AddProfile(Bob, BobFolder);
    AddProfile(carl, L"C:\\Users\\carl");
    system.files[std::wstring(AnnFolder) + Below] = 0x1;  // read-only: Windows refuses to delete it
    system.writeErrors[std::wstring(L"HKU\\Desktop Remediation ") + Bob +
                       L"\\Software\\Microsoft\\Internet Explorer\\Main"] = 5;
    system.machine[Marker] = L"http://an-earlier.example";

    EXPECT_EQ(platform::RunMain(), 1);

    EXPECT_TRUE(ShortcutThere(AnnFolder));
    EXPECT_EQ(StartPageOf(Ann, AnnFolder), L"(none)") << "a shortcut that would not go stops that profile's start page";
    EXPECT_FALSE(ShortcutThere(BobFolder));
    EXPECT_EQ(StartPageOf(Bob, BobFolder), L"(none)");
    EXPECT_FALSE(ShortcutThere(L"C:\\Users\\carl"));
    EXPECT_EQ(StartPageOf(carl, L"C:\\Users\\carl"), remediation::StartPageUrl);
    EXPECT_THAT(system.loadedHives, IsEmpty()) << "every hive goes back, also after a failed write";
    EXPECT_EQ(system.machine.at(Marker), L"http://an-earlier.example") << "an earlier marker stays as it was";
    EXPECT_THAT(Log(), HasSubstr(L"the shortcut could not be deleted: text of error 5 (error 5)"));
    EXPECT_THAT(Log(), HasSubstr(L"start page not written: text of error 5"));
    EXPECT_EQ(system.log.back(), L"2026-12-09 12:00:00\t-\t-\texit status 1");
}

TEST_F(AllProfilesTest, AHiveThatWillNotUnloadIsRetriedThenNamed) {
    for (const auto& [failures, status] : {std::pair<std::uint32_t, int>{3, 0}, {1000, 3}}) {
        fake::Reset();
        SetUp();
        AddProfile(Ann, AnnFolder);
        system.unloadFailures = failures;

        EXPECT_EQ(platform::RunMain(), status) << failures;

        EXPECT_EQ(system.loadedHives.empty(), status == 0) << failures;
        if (status) {
            EXPECT_THAT(Log(), HasSubstr(std::wstring(L"stays loaded as HKEY_USERS\\Desktop Remediation ") + Ann));
        }
        EXPECT_LT(system.tickCount - 1000, 5000u) << "the retries must not hang the run";
    }
}

TEST_F(AllProfilesTest, AShortcutWhosePathLeavesItsProfileIsLeftAlone) {
    // The user made a junction of a folder on the way, or a link of the
    // shortcut's folder; a profiles folder moved by an administrator still works.
    const std::wstring shortcut = std::wstring(AnnFolder) + Below;
    struct Row {
        const char* name;
        std::wstring leads, to;
        int status;
    };
    const Row rows[] = {
        {"the Startup folder a junction", shortcut.substr(0, shortcut.rfind(L'\\')), L"C:\\Windows\\Protected", 3},
        {"AppData a junction", std::wstring(AnnFolder) + L"\\AppData", L"C:\\ProgramData", 3},
        {"the profiles folder moved", L"C:\\Users", L"D:\\Users", 0},
    };
    for (const Row& row : rows) {
        fake::Reset();
        SetUp();
        system.AddProfile(Ann, AnnFolder);
        system.leadsTo[row.leads] = row.to;
        system.files[row.to] = platform::FILE_ATTRIBUTE_DIRECTORY;
        system.files[L"D:\\Users\\ann"] = platform::FILE_ATTRIBUTE_DIRECTORY;
        // What the shortcut's path leads to: another's file, or the moved profile's shortcut.
        const std::wstring reached = row.to + shortcut.substr(row.leads.size());
        system.files[reached] = 0x20;

        EXPECT_EQ(platform::RunMain(), row.status) << row.name;

        EXPECT_EQ(system.files.count(reached), row.status ? 1u : 0u) << row.name;
        EXPECT_EQ(StartPageOf(Ann, AnnFolder), remediation::StartPageUrl) << row.name;
        if (row.status) {
            EXPECT_THAT(Log(), HasSubstr(L"leads out of the profile (a junction or link): left alone")) << row.name;
        }
    }
}

TEST_F(AllProfilesTest, TheStartupFolderIsTheOneTheProfilesOwnAppDataNames) {
    struct Row {
        const wchar_t* setting;
        std::wstring shortcut;  // where the shortcut is found, or "" for a profile left alone
    };
    const Row rows[] = {
        {L"%USERPROFILE%\\AppData\\Roaming", std::wstring(AnnFolder) + Below},
        {L"%userprofile%\\Roaming Data\\", std::wstring(AnnFolder) + L"\\Roaming Data" + (Below + 16)},
        {L"\\\\server\\profiles$\\ann\\AppData", std::wstring(L"\\\\server\\profiles$\\ann\\AppData") + (Below + 16)},
        {L"%HOMESHARE%\\AppData", L""},
    };
    for (const Row& row : rows) {
        fake::Reset();
        SetUp();
        system.AddProfile(Ann, AnnFolder, {{AppDataSetting, row.setting}});
        if (!row.shortcut.empty()) system.files[row.shortcut] = 0x20;
        const std::wstring redirected = L"\\\\server\\profiles$\\ann\\AppData";
        system.files[redirected] = platform::FILE_ATTRIBUTE_DIRECTORY;

        EXPECT_EQ(platform::RunMain(), row.shortcut.empty() ? 3 : 0) << row.setting;

        if (!row.shortcut.empty()) {
            EXPECT_THAT(system.deleted, ElementsAre(row.shortcut)) << row.setting;
        }
        EXPECT_EQ(StartPageOf(Ann, AnnFolder), remediation::StartPageUrl) << row.setting;
    }
}

TEST_F(AllProfilesTest, WithoutTheHivePrivilegesNothingIsTouched) {
    AddProfile(Ann, AnnFolder);
    system.holdsHivePrivileges = false;

    EXPECT_EQ(platform::RunMain(), 6);

    EXPECT_TRUE(ShortcutThere(AnnFolder));
    EXPECT_THAT(system.hiveCalls, IsEmpty());
    EXPECT_THAT(system.machine, IsEmpty());
    EXPECT_THAT(Log(), HasSubstr(L"SeBackupPrivilege and SeRestorePrivilege"));
}

TEST_F(AllProfilesTest, VersionFiveIsRefusedAsInTheUsersRun) {
    AddProfile(Ann, AnnFolder);
    system.majorVersion = 5;

    EXPECT_EQ(platform::RunMain(), 0);

    ASSERT_EQ(system.boxes.size(), 1u);
    EXPECT_EQ(system.boxes[0].title, L"OS Not Supported.");
    EXPECT_TRUE(ShortcutThere(AnnFolder));
    EXPECT_THAT(system.hiveCalls, IsEmpty());
    EXPECT_THAT(system.machine, IsEmpty());
}

class CommandLineTest : public FakeSystemTest {};

TEST_F(CommandLineTest, AnythingButTheTwoArgumentsChangesNothingAndEndsWithFive) {
    const wchar_t* refused[] = {L"x.exe /Log",          L"x.exe /Log \"\"",         L"x.exe /AllProfiles /AllProfiles",
                                L"x.exe /Log a /Log b", L"x.exe /AllProfile",       L"x.exe AllProfiles",
                                L"x.exe -AllProfiles",  L"x.exe /AllProfiles extra"};
    for (const wchar_t* commandLine : refused) {
        fake::Reset();
        system.SetAppData(L"C:\\Users\\ann\\AppData\\Roaming");
        system.commandLine = commandLine;

        EXPECT_EQ(platform::RunMain(), 5) << commandLine;

        EXPECT_THAT(system.registry, IsEmpty()) << commandLine;
        EXPECT_THAT(system.boxes, IsEmpty()) << commandLine;
        EXPECT_FALSE(system.logOpened) << commandLine;
    }
    fake::Reset();
    system.commandLine = L"x.exe /Log C:\\no\\such\\folder\\r.log";
    system.logOpenError = 3;
    EXPECT_EQ(platform::RunMain(), 5) << "a log that cannot be opened";
    EXPECT_THAT(system.registry, IsEmpty());
}

TEST_F(CommandLineTest, LetterCaseAndOrderDoNotMatterAndTheUsersRunKeepsItsLog) {
    const std::pair<const wchar_t*, const wchar_t*> accepted[] = {
        {L"x.exe /log \"C:\\Log Files\\run.log\"", L"C:\\Log Files\\run.log"},
        {L"\"C:\\a b\\x.exe\"   /LOG   C:\\r.log  ", L"C:\\r.log"},
    };
    for (const auto& [commandLine, logFile] : accepted) {
        fake::Reset();
        system.SetAppData(L"C:\\Users\\ann\\AppData\\Roaming");
        system.commandLine = commandLine;

        EXPECT_EQ(platform::RunMain(), 0) << commandLine;

        EXPECT_EQ(system.logOpened.value_or(L"(not opened)"), logFile);
        EXPECT_THAT(system.log, ElementsAre(std::wstring(L"2026-12-09 12:00:00\t") + system.userSid +
                                                L"\tC:\\Users\\ann\\AppData\\Roaming\tno shortcut; start page written",
                                            L"2026-12-09 12:00:00\t-\t-\texit status 0"));
    }
    fake::Reset();
    system.commandLine = L"x.exe /allprofiles";
    EXPECT_EQ(platform::RunMain(), 0) << "an empty ProfileList leaves nothing to do";
    EXPECT_THAT(system.calls, ::testing::Contains(L"WriteRegistryText SOFTWARE\\Desktop Remediation|Start Page"));
}

TEST(CommandLineWords, SplitAsTheCRuntimeSplitsThem) {
    const std::pair<const wchar_t*, std::vector<std::wstring>> cases[] = {
        {L"x.exe", {L"x.exe"}},
        {L"\"C:\\a\\\" b", {L"\"C:\\a\\\"", L"b"}},  // the program's name takes no escapes
        {L"x a\\\\\\\"b \"c d\"", {L"x", L"a\\\"b", L"c d"}},
        {L"x \"a\\\\\" b", {L"x", L"a\\", L"b"}},
        {L"x C:\\path\\ \"\"", {L"x", L"C:\\path\\", L""}},
        {L"x \"say \"\"hi\"\"\"", {L"x", L"say \"hi\""}},
        {L"x\ta\t\tb", {L"x", L"a", L"b"}},
    };
    for (const auto& [commandLine, words] : cases) {
        const std::wstring line = commandLine;
        std::size_t position = remediation::SkipProgramName(line);
        std::vector<std::wstring> split{line.substr(0, position)};
        for (std::wstring argument; remediation::NextArgument(line, position, argument);) split.push_back(argument);
        EXPECT_EQ(split, words) << std::string(line.begin(), line.end());
    }
}

}  // namespace
