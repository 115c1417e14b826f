// /AllProfiles: every user's profile and the Default profile from one
// privileged run; each repaired as the user's own run would be, hives loaded
// only for their own repair, a shortcut deleted only where it really is, and
// the marker written only when everything was done.
#include <gmock/gmock.h>

#include <algorithm>
#include <cwchar>
#include <functional>
#include <new>

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
    // An opportunistic lock being broken, its owner letting go within the patience, or never.
    const fake::System::Hold oplockBroken{742, 1500}, oplockKept{742, 999999};
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
        {"an opportunistic lock broken within the patience", [&](fake::System& s) { s.held[shortcut] = oplockBroken; },
         0, true, L"shortcut removed; start page written"},
        {"an opportunistic lock its owner never lets go of", [&](fake::System& s) { s.held[shortcut] = oplockKept; }, 1,
         false, L"the shortcut could not be deleted: text of error 742"},
        {"a final path that cannot be had", [&](fake::System& s) { s.openErrors[shortcut] = 3; }, 3, false,
         L"the Startup folder could not be looked in: text of error 3"},
        {"a profile folder that is a volume mount point (a User Profile Disk)",
         [](fake::System& s) { s.files[AnnFolder] |= 0x400, s.mountPoints.insert(AnnFolder); }, 0, true,
         L"shortcut removed; start page written"},
        {"a shortcut already pending deletion",
         [&](fake::System& s) { s.files.erase(shortcut), s.deletePending.insert(shortcut); }, 0, true,
         L"no shortcut; start page written"},
        {"an NTUSER.DAT that is a link", [&](fake::System& s) { s.files[annHive] |= 0x400; }, 3, false,
         L"no NTUSER.DAT"},
        {"a failure raised inside the profile's repair",
         [&](fake::System& s) {
             s.readThrows[std::wstring(L"Desktop Remediation ") + Ann] =
                 std::make_exception_ptr(platform::RunTimeFailure{L"RegQueryValueExW", L"AppData", 1450});
         },
         1, false, L"failed: RegQueryValueExW AppData: text of error 1450 (error 1450)"},
        {"an allocation failure inside the profile's repair",
         [&](fake::System& s) {
             s.readThrows[std::wstring(L"Desktop Remediation ") + Ann] = std::make_exception_ptr(std::bad_alloc());
         },
         1, false, L"failed: Allocating memory"},
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
                  row.repaired || std::string(row.name) == "a Startup folder that cannot be opened" ||
                      std::string(row.name) == "a final path that cannot be had")
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
        EXPECT_EQ(system.hivesLoadedDuringFileWork, 0u) << row.name << ": a hive stayed loaded while files were opened";
        EXPECT_EQ(system.log.back(), L"2026-12-09 12:00:00\t-\t-\texit status " + std::to_wstring(row.status))
            << row.name;
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

    // Once to read AppData, once to write the start page; the shortcut in between.
    const std::wstring loadAnn = std::wstring(L"load Desktop Remediation ") + Ann +
                                 L" C:\\Users\\ann\\NTUSER.DAT (privileged)",
                       unloadAnn = std::wstring(L"unload Desktop Remediation ") + Ann + L" (privileged)",
                       loadDefault = L"load Desktop Remediation Default C:\\Users\\Default\\NTUSER.DAT (privileged)",
                       unloadDefault = L"unload Desktop Remediation Default (privileged)";
    EXPECT_THAT(system.hiveCalls, ElementsAre(loadAnn, unloadAnn, loadAnn, unloadAnn, loadDefault, unloadDefault,
                                              loadDefault, unloadDefault));
    EXPECT_EQ(system.hivesLoadedDuringFileWork, 0u);
    EXPECT_EQ(system.calls.front(), L"RefuseUsersJunctions") << "junctions guarded before any file is opened";
    EXPECT_FALSE(system.runLockHeld) << "the lock is released when the run ends";
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

TEST_F(AllProfilesTest, WhatAUserHoldsOrTakesAwayMeanwhileHoldsNoOtherProfileBack) {
    // Ann's repair waits on what she holds, or her hive file goes between its
    // two loads; Bob's, after hers, is done all the same, within the bound.
    const std::wstring shortcut = std::wstring(AnnFolder) + Below;
    struct Row {
        const char* name;
        std::function<void(fake::System&)> stage;
        platform::BoundedRun ended;
        const wchar_t* said;
    };
    const wchar_t* kept = L"not remediated: another program kept its shortcut or hive file waiting for more than 20 s";
    const Row rows[] = {
        {"an opportunistic lock whose wait a cancel ends", [&](fake::System& s) { s.oplocked[shortcut] = true; },
         platform::BoundedRun::Cancelled, kept},
        {"an opportunistic lock whose wait nothing ends", [&](fake::System& s) { s.oplocked[shortcut] = false; },
         platform::BoundedRun::LeftRunning, kept},
        {"a hive file gone at the second load",
         [](fake::System& s) { s.hiveFileGoesAfterUnload = std::wstring(AnnFolder) + L"\\NTUSER.DAT"; },
         platform::BoundedRun::Ended, L"shortcut removed; not remediated: no NTUSER.DAT"},
    };
    for (const Row& row : rows) {
        fake::Reset();
        SetUp();
        AddProfile(Ann, AnnFolder);
        AddProfile(Bob, BobFolder);
        row.stage(system);

        EXPECT_EQ(platform::RunMain(), 3) << row.name;

        EXPECT_EQ(system.boundedRuns.front(), row.ended) << row.name;
        EXPECT_THAT(Log(), HasSubstr(std::wstring(AnnFolder) + L"\t" + row.said)) << row.name;
        EXPECT_FALSE(ShortcutThere(BobFolder)) << row.name;
        EXPECT_EQ(StartPageOf(Bob, BobFolder), remediation::StartPageUrl) << row.name;
        EXPECT_EQ(system.machine.count(Marker), 0u) << row.name;
        EXPECT_LE(system.tickCount - 1000, 2 * 20000u) << row.name << ": the run waited past its bound";
        // Loading a hive file that is not there would make one.
        const std::wstring loadAnn = std::wstring(L"load Desktop Remediation ") + Ann;
        if (row.ended == platform::BoundedRun::Ended) {
            EXPECT_EQ(std::count_if(system.hiveCalls.begin(), system.hiveCalls.end(),
                                    [&](const std::wstring& call) { return call.rfind(loadAnn, 0) == 0; }),
                      1)
                << row.name;
        }
    }
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

// Every path the run handed to a file operation.
std::vector<std::wstring> FilePathsTouched(const fake::System& system) {
    std::vector<std::wstring> paths;
    for (const std::wstring& call : system.calls)
        for (const wchar_t* operation : {L"OpenFolder ", L"DeleteFileBelow ", L"QueryFileAttributes "})
            if (call.rfind(operation, 0) == 0) paths.push_back(call.substr(std::wcslen(operation)));
    return paths;
}

TEST_F(AllProfilesTest, AJunctionOrLinkAtAnyFolderFromTheProfileDownIsNotGoneThrough) {
    // The user made a junction of a folder on the way, or of the profile
    // folder; a profiles folder moved by an administrator still works.
    const std::wstring shortcut = std::wstring(AnnFolder) + Below;
    const std::wstring startup = shortcut.substr(0, shortcut.rfind(L'\\'));
    const std::wstring levels[] = {AnnFolder, std::wstring(AnnFolder) + L"\\AppData",
                                   std::wstring(AnnFolder) + L"\\AppData\\Roaming",
                                   std::wstring(AnnFolder) + L"\\AppData\\Roaming\\Microsoft", startup};
    struct Row {
        std::wstring leads, to;
        int status;
    };
    std::vector<Row> rows;
    for (const std::wstring& level : levels) rows.push_back({level, L"C:\\Windows\\Protected", 3});
    rows.push_back({L"C:\\Users", L"D:\\Users", 0});
    for (const Row& row : rows) {
        fake::Reset();
        SetUp();
        AddProfile(Ann, AnnFolder);
        system.leadsTo[row.leads] = row.to;
        // What the shortcut's path leads to: another's file, or the moved profile's shortcut.
        const std::wstring reached = row.to + shortcut.substr(row.leads.size());
        system.files[reached] = 0x20;

        EXPECT_EQ(platform::RunMain(), row.status) << row.leads;

        EXPECT_EQ(system.files.count(reached), row.status ? 1u : 0u) << row.leads;
        // A profile folder that is a link leads its hive elsewhere too: nothing of it is touched.
        EXPECT_EQ(StartPageOf(Ann, AnnFolder) == remediation::StartPageUrl, row.leads != AnnFolder) << row.leads;
        if (row.status) {
            EXPECT_THAT(Log(), HasSubstr(row.leads + L" is a junction or link, not gone through")) << row.leads;
            for (const std::wstring& path : FilePathsTouched(system))
                EXPECT_NE(path.rfind(row.leads + L"\\", 0), 0u) << row.leads << ": opened below it: " << path;
        }
    }
}

TEST_F(AllProfilesTest, OnlyAnAppDataInsideItsProfileFolderIsSearched) {
    const std::wstring many(400 * 100, L'\\');  // 400 folders of 99 characters each
    std::wstring deep = L"%USERPROFILE%";
    for (int i = 0; i < 400; ++i) deep += L"\\" + std::wstring(99, L'd');
    struct Row {
        std::wstring setting;
        std::wstring appData;  // where the Startup folder is searched, or "" for nowhere
        int status;
    };
    const Row rows[] = {
        {L"%USERPROFILE%\\AppData\\Roaming", L"C:\\Users\\ann\\AppData\\Roaming", 0},
        {L"%userprofile%\\Roaming Data\\", L"C:\\Users\\ann\\Roaming Data", 0},
        {L"c:\\users\\ANN", L"C:\\Users\\ann", 0},
        {L"C:\\Users\\ann/AppData//Roaming", L"C:\\Users\\ann\\AppData\\Roaming", 0},
        {L"%USERPROFILE%\\AppData\\..\\..\\bob\\AppData\\Roaming", L"", 3},
        {L"%USERPROFILE%\\.\\AppData\\Roaming", L"", 3},
        {L"C:\\Users\\ann2\\AppData\\Roaming", L"", 3},
        {L"C:\\ProgramData", L"", 3},
        {L"D:\\Users\\ann\\AppData\\Roaming", L"", 3},
        {L"\\\\evilhost\\share\\ann", L"", 3},
        {L"\\\\?\\C:\\Users\\ann\\AppData\\Roaming", L"", 3},
        {L"\\\\.\\pipe\\spy", L"", 3},
        {L"%HOMESHARE%\\AppData", L"", 3},
        {L"%USERPROFILE%\\AppData:hidden", L"", 3},
        {L"%USERPROFILE%\\" + std::wstring(40000, L'a'), L"", 1},
        {deep, L"", 1},
        {L"D:\\" + std::wstring(5000, L'x'), L"", 3},
    };
    for (const Row& row : rows) {
        const std::string name(row.setting.begin(),
                               row.setting.begin() + std::min<std::size_t>(row.setting.size(), 60));
        fake::Reset();
        SetUp();
        system.AddProfile(Ann, AnnFolder, {{AppDataSetting, row.setting}});
        // A shortcut where the setting would lead, were it followed.
        const std::wstring decoy = L"C:\\ProgramData" + std::wstring(Below + 16);
        system.files[decoy] = 0x20;
        if (!row.appData.empty()) system.files[row.appData + (Below + 16)] = 0x20;

        EXPECT_EQ(platform::RunMain(), row.status) << name;

        if (!row.appData.empty()) {
            EXPECT_THAT(system.deleted, ElementsAre(row.appData + (Below + 16))) << name;
        } else {
            EXPECT_THAT(system.deleted, IsEmpty()) << name;
            EXPECT_THAT(Log(), HasSubstr(row.status == 1 ? L"a path Windows will not take"
                                         : row.setting[0] == L'%' && row.setting[1] == L'H'
                                             ? L"only the user's own session expands AppData"
                                             : L"AppData leads out of the profile folder (redirected: the user's "
                                               L"own run is the way for it)"))
                << name;
        }
        for (const std::wstring& path : FilePathsTouched(system))
            EXPECT_EQ(path.rfind(AnnFolder, 0), 0u) << name << ": touched outside the profile: " << path.substr(0, 80);
        // A user's text, however long, is cut short in the report, saying so.
        for (const std::wstring& line : system.log) EXPECT_LE(line.size(), 2048u) << name;
        if (row.setting.size() > 1000 && row.status == 3) {
            EXPECT_THAT(Log(), HasSubstr(L" characters in all)")) << name;
        }
        // A failure stops the profile's repair before its start page, as in the user's run.
        EXPECT_EQ(StartPageOf(Ann, AnnFolder) == remediation::StartPageUrl, row.status != 1) << name;
    }
}

TEST_F(AllProfilesTest, HivesLeftLoadedByAnEndedRunAreUnloadedFirst) {
    const std::wstring left = std::wstring(L"Desktop Remediation ") + Bob;
    for (const auto& [failures, status] : {std::pair<std::uint32_t, int>{0, 0}, {1000, 3}}) {
        fake::Reset();
        SetUp();
        system.loadedHives[left] = {};
        system.loadedFrom[left] = std::wstring(BobFolder) + L"\\NTUSER.DAT";
        system.loadedHives[Ann] = {};  // a signed-in user's, which stays
        system.unloadFailures = failures;

        EXPECT_EQ(platform::RunMain(), status) << failures;

        EXPECT_EQ(system.loadedHives.count(left), status ? 1u : 0u) << failures;
        EXPECT_EQ(system.loadedHives.count(Ann), 1u) << failures;
        EXPECT_THAT(Log(), HasSubstr(L"\t-\tHKEY_USERS\\" + left + L"\t" +
                                     (status ? L"its hive stays loaded" : L"unloaded: an earlier run left it loaded")))
            << failures;
    }
}

TEST_F(AllProfilesTest, ControlCharactersInAnyFieldStayInsideTheirLine) {
    // A line of the report's own form, forged in the user's own hive.
    const std::wstring forged = L"x\r\n2026-12-09 12:00:00\tS-1-5-21-1-2-3-4\tC:\\Users\\x\tshortcut removed\x7f";
    system.AddProfile(Ann, AnnFolder, {{AppDataSetting, forged}});
    system.profileList.push_back({Bob, L"C:\\Users\\b\tob\x01", 0, false});  // a stale entry

    EXPECT_EQ(platform::RunMain(), 3);

    for (const std::wstring& line : system.log) {
        EXPECT_EQ(std::count(line.begin(), line.end(), L'\t'), 3) << std::string(line.begin(), line.end());
        EXPECT_EQ(std::count_if(line.begin(), line.end(), [](wchar_t c) { return c < 0x20 && c != L'\t'; }), 0);
    }
    EXPECT_THAT(Log(), HasSubstr(L"x<U+000D><U+000A>2026-12-09 12:00:00<U+0009>S-1-5-21-1-2-3-4<U+0009>"));
    EXPECT_THAT(Log(), HasSubstr(L"shortcut removed<U+007F>"));
    EXPECT_THAT(Log(), HasSubstr(L"\tC:\\Users\\b<U+0009>ob<U+0001>\t"));
}

TEST_F(AllProfilesTest, ARunThatMayNotStartChangesNothing) {
    struct Row {
        const char* name;
        void (*stage)(fake::System&);
        int status;
        const wchar_t* said;  // the report's one line before its last
        std::uint32_t waited;
    };
    const Row rows[] = {
        {"without the hive privileges", [](fake::System& s) { s.holdsHivePrivileges = false; }, 6,
         L"every profile needs SeBackupPrivilege and SeRestorePrivilege: run as SYSTEM or elevated", 0},
        // The first run's hives would be taken for leftovers: it is waited for a short while only.
        {"while another run holds the lock", [](fake::System& s) { s.runLockHeldElsewhere = true; }, 3,
         L"nothing changed: another run over every profile is still going; run again later", 30000},
    };
    for (const Row& row : rows) {
        fake::Reset();
        SetUp();
        AddProfile(Ann, AnnFolder);
        row.stage(system);

        EXPECT_EQ(platform::RunMain(), row.status) << row.name;

        EXPECT_TRUE(ShortcutThere(AnnFolder)) << row.name;
        EXPECT_THAT(system.hiveCalls, IsEmpty()) << row.name;
        EXPECT_THAT(system.machine, IsEmpty()) << row.name;
        EXPECT_THAT(system.log, ElementsAre(std::wstring(L"2026-12-09 12:00:00\t-\t-\t") + row.said,
                                            L"2026-12-09 12:00:00\t-\t-\texit status " + std::to_wstring(row.status)))
            << row.name;
        EXPECT_EQ(system.tickCount - 1000, row.waited) << row.name;
    }
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
    const wchar_t* refused[] = {L"x.exe /Log",          L"x.exe /Log \"\"",          L"x.exe /AllProfiles /AllProfiles",
                                L"x.exe /Log a /Log b", L"x.exe /AllProfile",        L"x.exe AllProfiles",
                                L"x.exe -AllProfiles",  L"x.exe /AllProfiles extra", L"x.exe /Quiet /quiet",
                                L"x.exe /? /Bogus",     L"x.exe /Quiet extra"};
    for (const wchar_t* commandLine : refused) {
        fake::Reset();
        system.SetAppData(L"C:\\Users\\ann\\AppData\\Roaming");
        system.commandLine = commandLine;

        EXPECT_EQ(platform::RunMain(), 5) << commandLine;

        EXPECT_THAT(system.registry, IsEmpty()) << commandLine;
        EXPECT_THAT(system.boxes, IsEmpty()) << commandLine;
        EXPECT_FALSE(system.logOpened) << commandLine;
    }
}

TEST_F(AllProfilesTest, AReportThatCannotBeHadHoldsNoRepairBack) {
    // Refused by the guarded opening (a link, a second name, a folder or file
    // another could write), which only the run over every profile asks for;
    // not opened at all; or lost line by line. The repair is done either way,
    // and a run that did all else ends with 7.
    struct Row {
        const char* name;
        void (*stage)(fake::System&);
        int everyProfile, usersRun;
    };
    const Row rows[] = {
        {"a link", [](fake::System& s) { s.logRefusal = 4395; }, 7, 0},
        {"a second name", [](fake::System& s) { s.logRefusal = 1142; }, 7, 0},
        {"a folder a user may add files to", [](fake::System& s) { s.logRefusal = 5; }, 7, 0},
        {"a folder that is not there", [](fake::System& s) { s.logOpenError = 3; }, 7, 7},
        {"held open by another program", [](fake::System& s) { s.logOpenError = 32; }, 7, 7},
        {"every line lost", [](fake::System& s) { s.logWritesFail = true; }, 7, 7},
        {"lost, in a run that was not done", [](fake::System& s) { s.logWritesFail = true, s.setValueResult = 5; }, 7,
         2},
    };
    for (const Row& row : rows) {
        for (const bool allProfiles : {true, false}) {
            fake::Reset();
            system.userSid = allProfiles ? L"S-1-5-18" : Ann;
            system.SetAppData(L"C:\\Users\\ann\\AppData\\Roaming");
            system.files[L"C:\\Users\\ann\\AppData\\Roaming" + std::wstring(Below + 16)] = 0x20;
            system.AddProfile(Ann, AnnFolder);
            system.files[std::wstring(AnnFolder) + Below] = 0x20;
            system.commandLine = allProfiles ? L"x.exe /AllProfiles /Log C:\\Windows\\Logs\\r.log"
                                             : L"x.exe /Log C:\\Windows\\Logs\\r.log";
            row.stage(system);

            EXPECT_EQ(platform::RunMain(), allProfiles ? row.everyProfile : row.usersRun) << row.name;

            EXPECT_EQ(system.logGuarded, allProfiles) << row.name;
            EXPECT_EQ(system.deleted.size(), 1u) << row.name << (allProfiles ? ": every profile" : ": the user's run");
            if (allProfiles) {
                EXPECT_EQ(StartPageOf(Ann, AnnFolder), remediation::StartPageUrl) << row.name;
                EXPECT_EQ(system.machine.at(Marker), remediation::StartPageUrl) << row.name << ": the desktop is done";
            }
        }
    }
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

TEST_F(CommandLineTest, QuietShowsNoBoxAndDoesAllElseAsBeforeAndHelpChangesNothing) {
    const std::wstring appData = L"C:\\Users\\ann\\AppData\\Roaming";
    const std::wstring shortcut =
        appData + L"\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\Internet Explorer.lnk";
    struct Row {
        const wchar_t* commandLine;
        std::uint32_t majorVersion, deleteError;
        int status;
        std::size_t boxes, deleted, lines;  // boxes shown, files deleted, report lines
    };
    const Row rows[] = {
        {L"x.exe", 6, 0, 0, 1, 1, 0},  // the confirmation
        {L"x.exe /quiet", 6, 0, 0, 0, 1, 0},
        {L"x.exe /Log C:\\r.log /QUIET", 6, 0, 0, 0, 1, 2},
        {L"x.exe /Quiet", 5, 0, 0, 0, 0, 0},                 // the refusal
        {L"x.exe /Quiet /Log C:\\r.log", 6, 5, 1, 0, 0, 2},  // the failure report
        {L"x.exe /?", 6, 0, 5, 1, 0, 0},
        {L"x.exe /Log C:\\r.log /? /AllProfiles", 6, 0, 5, 1, 0, 0},
        {L"x.exe /? /Quiet", 6, 0, 5, 0, 0, 0},
    };
    for (const Row& row : rows) {
        fake::Reset();
        system.SetAppData(appData);
        system.files[shortcut] = 0x20;
        if (row.deleteError) system.deleteErrors[shortcut] = row.deleteError;
        system.majorVersion = row.majorVersion;
        system.commandLine = row.commandLine;
        const std::string name(row.commandLine, row.commandLine + std::wcslen(row.commandLine));

        EXPECT_EQ(platform::RunMain(), row.status) << name;

        EXPECT_EQ(system.boxes.size() + system.reports.size(), row.boxes) << name;
        EXPECT_EQ(system.deleted.size(), row.deleted) << name;
        EXPECT_EQ(system.log.size(), row.lines) << name;
        if (row.status == 5) {
            EXPECT_THAT(system.registry, IsEmpty()) << name << ": /? changes nothing";
            EXPECT_FALSE(system.logOpened) << name;
        }
        if (row.status == 5 && row.boxes) {
            EXPECT_THAT(system.boxes[0].prompt, HasSubstr(L"/AllProfiles")) << name;
            EXPECT_THAT(system.boxes[0].prompt, HasSubstr(L"/Log FILE")) << name;
            EXPECT_THAT(system.boxes[0].prompt, HasSubstr(L"/Quiet")) << name;
            EXPECT_EQ(system.boxes[0].title, L"Desktop Remediation") << name;
        }
    }
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
