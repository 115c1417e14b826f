// Every case, as Windows is documented to behave. Where cases differ only in
// their data, they are one function and a row each in AllCases().
#include "kit.h"

#include <algorithm>
#include <cwctype>
#include <set>

namespace pilot {

const Box Refusal{L"OS Not Supported.", L"This application does not apply to Windows XP.", {}};
const Box Confirmation{ProgramTitle, L"Internet Explorer Has Been Successfully Removed From the Startup Group", {}};

namespace {

constexpr wchar_t StartupBelow[] = L"\\Microsoft\\Windows\\Start Menu\\Programs\\Startup";
constexpr wchar_t StartPage[] = L"Start Page";
// Windows tries name resolution and then each network provider in turn, which
// can take many seconds for a server or a drive that is not there.
constexpr DWORD NoSuchDriveOrServerPatience = 90000;

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

std::wstring Quoted(const std::vector<Box>& boxes) {
    if (boxes.empty()) return L"no box";
    std::wstring text;
    for (const Box& box : boxes) {
        if (!text.empty()) text += L", ";
        text += L"\"" + box.title + L": " + box.text + L"\"";
    }
    return text;
}

RunResult Run(const std::optional<std::wstring>& appData, RunOptions options = {}) {
    options.appData = appData;
    return RunProgram(options);
}

// Whether the compatibility engine's Windows XP layer makes Windows report
// major version 5 to a process of this kit's architecture, run as the program
// is; asked once. (No function-local static: newer compilers guard one with
// condition variables, which Windows XP lacks.)
std::optional<DWORD> reportedUnderTheLayer;
bool CompatibilityLayerReportsFive() {
    if (!reportedUnderTheLayer) reportedUnderTheLayer = ReportedMajorVersion({L"__COMPAT_LAYER=WinXPSP3"});
    return *reportedUnderTheLayer == 5;
}

// Stages major version 5: Wine's own setting, or Windows' compatibility layer.
bool StageVersionFive(const wchar_t* wineVersion, Check& check, RunOptions& options) {
    options.version = Staged::VersionFive;
    if (Where().underWine) {
        SetWineVersion(wineVersion);
        return true;
    }
    if (!CompatibilityLayerReportsFive()) {
        check.Skip(
            L"the WinXPSP3 compatibility layer does not make this Windows report version 5 to this "
            L"architecture (the compatibility engine may be turned off by policy)");
        return false;
    }
    options.environment.push_back(L"__COMPAT_LAYER=WinXPSP3");
    return true;
}

// A run the program refused keeps the shortcut, whatever the case expected.
void ExpectShortcut(Check& check, const RunResult& run, const Profile& profile, bool kept) {
    if (kept || run.refused)
        check.Expect(Exists(profile.shortcut), L"the shortcut was deleted: " + profile.shortcut);
    else
        check.Expect(!Exists(profile.shortcut), L"the shortcut is still there: " + profile.shortcut);
}

// --- the gate ----------------------------------------------------------------

void VersionFiveIsRefused(const Case& c, Check& check) {
    const Profile profile = MakeProfile();
    PlantShortcut(profile.shortcut);
    WriteValue(HKEY_CURRENT_USER, MainKey, StartPage, TextValue(L"about:blank"));
    RunOptions options;
    if (!StageVersionFive(c.data, check, options)) return;
    const RunResult run = Run(profile.appData, options);
    ExpectRun(check, run, 0, {Refusal});
    ExpectShortcut(check, run, profile, true);
    check.Expect(ReadValue(HKEY_CURRENT_USER, MainKey, StartPage).data == TextValue(L"about:blank").data,
                 L"Start Page was written on version 5");
}

// Under Wine, the version in the case's data; on Windows, its own.
RunOptions StageSupportedVersion(const Case& c) {
    RunOptions options;
    if (Where().underWine && c.data) {
        SetWineVersion(c.data);
        options.version = Staged::SupportedVersion;
    }
    return options;
}

void OtherVersionsPassTheGate(const Case& c, Check& check) {
    const RunResult run = Run(MakeProfile().appData, StageSupportedVersion(c));
    ExpectRun(check, run, 0, {});
    ExpectStartPageWritten(check, run);
}

// --- the shortcut --------------------------------------------------------------

void ShortcutIsDeletedWithOneConfirmation(const Case& c, Check& check) {
    const Profile profile = MakeProfile();
    PlantShortcut(profile.shortcut);
    const RunResult run = Run(profile.appData, StageSupportedVersion(c));
    ExpectRun(check, run, 0, {Confirmation});
    ExpectShortcut(check, run, profile, false);
    ExpectStartPageWritten(check, run);
}

void HiddenSystemShortcutIsDeleted(const Case&, Check& check) {
    const Profile profile = MakeProfile();
    PlantShortcut(profile.shortcut);
    check.Expect(SetAttributes(profile.shortcut, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) &&
                     (::GetFileAttributesW(profile.shortcut.c_str()) & 0x6) == 0x6,
                 L"the file system did not keep the hidden and system attributes");
    const RunResult run = Run(profile.appData);
    ExpectRun(check, run, 0, {Confirmation});
    ExpectShortcut(check, run, profile, false);
}

void FolderOfThatNameIsLeftAlone(const Case&, Check& check) {
    const Profile profile = MakeProfile();
    MakeFolders(profile.shortcut);
    const RunResult run = Run(profile.appData);
    ExpectRun(check, run, 0, {});
    check.Expect(IsFolder(profile.shortcut), L"the folder named Internet Explorer.lnk was removed");
    ExpectStartPageWritten(check, run);
}

void ReadOnlyShortcutIsReportedAndKept(const Case&, Check& check) {
    const Profile profile = MakeProfile();
    PlantShortcut(profile.shortcut);
    SetAttributes(profile.shortcut, FILE_ATTRIBUTE_READONLY);
    const RunResult run = Run(profile.appData);
    ExpectFailureReport(check, run, profile.shortcut, ERROR_ACCESS_DENIED);
    ExpectShortcut(check, run, profile, true);
    ExpectStartPageUnwritten(check);
}

void HeldShortcutIsReportedAndKept(const Case&, Check& check) {
    const Profile profile = MakeProfile();
    PlantShortcut(profile.shortcut);
    RunOptions options;
    options.hold = profile.shortcut;
    const RunResult run = Run(profile.appData, options);
    ExpectFailureReport(check, run, profile.shortcut, ERROR_SHARING_VIOLATION);
    ExpectShortcut(check, run, profile, true);
    ExpectStartPageUnwritten(check);
}

// As the shell holds it at logon, or a virus scanner a new file: without
// delete sharing, from just before the program starts, for 1.3 s.
void ShortcutHeldForAMomentIsDeleted(const Case&, Check& check) {
    const Profile profile = MakeProfile();
    PlantShortcut(profile.shortcut);
    RunOptions options;
    options.hold = profile.shortcut;
    options.releaseAfterMilliseconds = 1300;
    const RunResult run = Run(profile.appData, options);
    ExpectRun(check, run, 0, {Confirmation});
    ExpectShortcut(check, run, profile, false);
    ExpectStartPageWritten(check, run);
}

void AppdataWithTrailingBackslash(const Case&, Check& check) {
    const Profile profile = MakeProfile();
    PlantShortcut(profile.shortcut);
    const RunResult run = Run(profile.appData + L"\\");
    ExpectRun(check, run, 0, {Confirmation});
    ExpectShortcut(check, run, profile, false);
}

void ProfileOutsideTheAnsiCodePage(const Case&, Check& check) {
    const Profile profile = MakeProfile(L"\\Zo\u00eb \u03a9\u03bc\u03ad\u03b3\u03b1 \u6d4b\u8bd5");
    PlantShortcut(profile.shortcut);
    const RunResult run = Run(profile.appData);
    ExpectRun(check, run, 0, {Confirmation});
    ExpectShortcut(check, run, profile, false);
}

// Deleted by another program that still holds it open, with the legacy
// disposition: before Windows 10 1809, and on SMB shares on every version,
// its name answers "access denied" to every open and query until the handle
// closes, yet its folder still lists it. The job is done: no box, status 0.
void ShortcutPendingDeletionIsGone(const Case&, Check& check) {
    using SetInformation = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
    const auto setInformation = reinterpret_cast<SetInformation>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetFileInformationByHandle")));
    if (!setInformation) return check.Skip(L"SetFileInformationByHandle first came with Windows Vista");
    const Profile profile = MakeProfile();
    PlantShortcut(profile.shortcut);
    const HANDLE file =
        ::CreateFileW(profile.shortcut.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return check.Expect(false, L"the shortcut could not be opened for deletion");
    BOOLEAN deleteFile = TRUE;
    constexpr int FileDispositionInfo = 4;
    check.Expect(setInformation(file, FileDispositionInfo, &deleteFile, sizeof(deleteFile)) != 0,
                 L"the shortcut could not be marked for deletion: error " + std::to_wstring(::GetLastError()));
    const RunResult run = Run(profile.appData);
    ::CloseHandle(file);
    check.Expect(run.status == 0 && !run.timedOut, L"ended with " + Describe(run) + L", not status 0");
    check.ExpectTodoWine(run.boxes.empty(),
                         L"the name pending deletion stayed open to the program, which deleted it "
                         L"and showed " +
                             Quoted(run.boxes));
    ExpectStartPageWritten(check, run);
}

// DELETE denied on the shortcut, and FILE_DELETE_CHILD not granted on its folder.
void DeletionRefusedByPermissionsIsReported(const Case&, Check& check) {
    const Profile profile = MakeProfile();
    PlantShortcut(profile.shortcut);
    const bool denied = SetSecurity(profile.shortcut, L"D:P(D;;SD;;;WD)(A;;FA;;;WD)") &&
                        SetSecurity(profile.startup, L"D:P(A;;0x1F01BF;;;WD)");
    check.Expect(denied, L"the permissions could not be set: error " + std::to_wstring(::GetLastError()));
    const RunResult run = Run(profile.appData);
    SetSecurity(profile.startup, L"D:(A;OICI;FA;;;WD)");
    SetSecurity(profile.shortcut, L"D:(A;;FA;;;WD)");
    Check asOnWindows;
    ExpectFailureReport(asOnWindows, run, profile.shortcut, ERROR_ACCESS_DENIED);
    ExpectShortcut(asOnWindows, run, profile, true);
    for (const std::wstring& difference : asOnWindows.Differences())
        check.ExpectTodoWine(false, L"file permissions are not enforced: " + difference);
}

void StartupPathOfMaxPathOrMore(const Case&, Check& check) {
    std::wstring deep;
    for (int part = 0; part < 8; ++part) deep += L"\\" + std::to_wstring(10 + part) + std::wstring(48, L'x');
    const Profile profile = MakeProfile(deep);
    check.Expect(PlantShortcut(profile.shortcut), L"the long-path shortcut could not be made");
    check.ExpectTodoWine(::GetFileAttributesW(profile.shortcut.c_str()) == INVALID_FILE_ATTRIBUTES,
                         L"there is no MAX_PATH limit: the plain path of " + std::to_wstring(profile.shortcut.size()) +
                             L" characters answered (the relay trace shows the form of the path instead)");
    const RunResult run = Run(profile.appData);
    ExpectRun(check, run, 0, {Confirmation});
    ExpectShortcut(check, run, profile, false);
}

// The start page is written, but nothing was deleted, nothing shown, and the
// run ends with 3: a deployment tool must not count the desktop as done.
void StartupFolderOutOfReach(const Case& c, Check& check) {
    const Profile profile = MakeProfile();
    PlantShortcut(profile.shortcut);
    const std::wstring kind = c.data;
    std::optional<std::wstring> appData;
    RunOptions options;
    if (kind == L"empty") {
        appData = L"";
    } else if (kind == L"in quotes") {
        appData = L"\"" + profile.appData + L"\"";
    } else if (kind == L"ending in *") {
        appData = profile.appData.substr(0, profile.appData.size() - 1) + L"*";
    } else if (kind == L"on a server that cannot be reached") {
        appData = L"\\\\nosuchserver.invalid\\share\\ann";
        options.timeoutMilliseconds = NoSuchDriveOrServerPatience;
    } else if (kind == L"on a drive that is not there") {
        const std::wstring drive = FreeDriveLetter();
        if (drive.empty()) return check.Skip(L"every drive letter from Q: to Y: is in use");
        appData = drive + L"\\profiles\\ann\\AppData\\Roaming";
        options.timeoutMilliseconds = NoSuchDriveOrServerPatience;
    } else if (kind == L"naming no folder") {
        appData = profile.appData + L"\\NoSuchRoaming";
    }
    const RunResult run = Run(appData, options);
    ExpectRun(check, run, 3, {});
    ExpectShortcut(check, run, profile, true);
    ExpectStartPageWritten(check, run);
}

// --- a window station nobody sees ----------------------------------------------
// As a service's, or a scheduled task's that runs whether the user is logged
// on or not: a box there would wait for good, so none is shown.

RunOptions Unseen() {
    RunOptions options;
    options.invisibleStation = true;
    options.timeoutMilliseconds = 15000;
    return options;
}

// Nobody sees a box: the program runs on a window station nobody sees, or is
// told /Quiet on this one.
RunOptions NoBoxSeen(const Case& c) {
    if (!c.data) return Unseen();
    RunOptions options;
    options.arguments = c.data;
    return options;
}

void UnseenRefusal(const Case& c, Check& check) {
    const Profile profile = MakeProfile();
    PlantShortcut(profile.shortcut);
    RunOptions options = NoBoxSeen(c);
    if (!StageVersionFive(L"winxp", check, options)) return;
    const RunResult run = Run(profile.appData, options);
    ExpectRun(check, run, 0, {});
    ExpectShortcut(check, run, profile, true);
    ExpectStartPageUnwritten(check);
}

void UnseenConfirmation(const Case& c, Check& check) {
    const Profile profile = MakeProfile();
    PlantShortcut(profile.shortcut);
    const RunResult run = Run(profile.appData, NoBoxSeen(c));
    ExpectRun(check, run, 0, {});
    ExpectShortcut(check, run, profile, false);
    ExpectStartPageWritten(check, run);
}

void UnseenFailureReport(const Case& c, Check& check) {
    const Profile profile = MakeProfile();
    PlantShortcut(profile.shortcut);
    RunOptions options = NoBoxSeen(c);
    options.hold = profile.shortcut;
    const RunResult run = Run(profile.appData, options);
    ExpectRun(check, run, 1, {});
    ExpectShortcut(check, run, profile, true);
    ExpectStartPageUnwritten(check);
}

// /? tells what the program does, in one box (none with /Quiet), changes
// nothing, and ends with 5, as a command line not understood.
void HelpChangesNothing(const Case& c, Check& check) {
    const Profile profile = MakeProfile();
    PlantShortcut(profile.shortcut);
    RunOptions options;
    options.arguments = c.data;
    const RunResult run = Run(profile.appData, options);
    const bool quiet = std::wstring(c.data).find(L"/Quiet") != std::wstring::npos;
    if (run.startError || run.timedOut) return check.Expect(false, Describe(run));
    check.Expect(run.status == 5, L"ended with " + Describe(run) + L", not status 5");
    check.Expect(run.boxes.size() == (quiet ? 0u : 1u) &&
                     (quiet || (run.boxes[0].title == ProgramTitle &&
                                run.boxes[0].text.find(L"/AllProfiles") != std::wstring::npos &&
                                run.boxes[0].text.find(L"/Quiet") != std::wstring::npos)),
                 L"showed " + Quoted(run.boxes) + (quiet ? L", not nothing" : L", not what the program does"));
    ExpectShortcut(check, run, profile, true);
    ExpectStartPageUnwritten(check);
}

// --- service accounts ------------------------------------------------------------

void RunAsServiceAccount(const Case& c, Check& check) {
    if (Where().underWine) return check.Skip(L"Wine runs every process as one user");
    if (!Where().elevated)
        return check.Skip(L"this case needs an elevated prompt: run the kit once more as an administrator");
    const bool localSystem = std::wstring(c.data) == L"LocalSystem";
    const wchar_t* hive = localSystem ? L"S-1-5-18\\" : L"S-1-5-19\\";
    const std::wstring accountMain = hive + std::wstring(MainKey);
    const StoredValue before = ReadValue(HKEY_USERS, accountMain.c_str(), StartPage);
    const ServiceRun run =
        RunAsService(localSystem ? nullptr : L"NT AUTHORITY\\LocalService", Where().program, MakeProfile().appData);
    if (run.failedStep) {
        return check.Expect(false, std::wstring(L"the temporary service could not run it: ") + run.failedStep +
                                       L" failed with error " + std::to_wstring(run.error));
    }
    // Where this Windows reports version 5, the program refuses before it asks who it runs as.
    const DWORD expected = Where().majorVersion == 5 ? 0 : 4;
    check.Expect(run.status == expected,
                 L"ended with status " + std::to_wstring(run.status) + L", not " + std::to_wstring(expected));
    check.Expect(!run.stationVisible, L"the service's window station is visible");
    check.Expect(run.shortcutKept, L"the shortcut in the APPDATA it was given was deleted");
    check.Expect(ReadValue(HKEY_USERS, accountMain.c_str(), StartPage).data == before.data,
                 std::wstring(L"the start page of ") + c.data + L" was written");
    ExpectStartPageUnwritten(check);
}

// --- the start page ----------------------------------------------------------------

void KeyAndParentsAreCreated(const Case&, Check& check) {
    if (!Where().underWine && InternetExplorerKeyExistedAtStart())
        return check.Skip(
            L"this account has Internet Explorer settings of its own, which deleting the key would "
            L"lose: run the kit as a test user who has none");
    check.Expect(DeleteKeyTree(HKEY_CURRENT_USER, InternetExplorerKey),
                 L"the Internet Explorer key could not be removed");
    const RunResult run = Run(MakeProfile().appData);
    ExpectRun(check, run, 0, {});
    ExpectStartPageWritten(check, run);
}

void EarlierValueIsReplaced(const Case& c, Check& check) {
    const std::wstring kind = c.data;
    if (kind == L"another type") {
        StoredValue number{true, REG_DWORD, {7, 0, 0, 0}};
        WriteValue(HKEY_CURRENT_USER, MainKey, StartPage, number);
    } else {
        WriteValue(HKEY_CURRENT_USER, MainKey, StartPage,
                   TextValue(kind == L"the same text" ? Where().startPageUrl : L"http://elsewhere.example"));
    }
    const RunResult run = Run(MakeProfile().appData);
    ExpectRun(check, run, 0, {});
    ExpectStartPageWritten(check, run);
}

// A common lock-down: the user's key readable but not writable, or not even
// that. The program still opens it (for the rights it is left); setting the
// value fails with 5.
void LockedKey(const wchar_t* sddl, bool withShortcut, Check& check) {
    const Profile profile = MakeProfile();
    if (withShortcut) PlantShortcut(profile.shortcut);
    WriteValue(HKEY_CURRENT_USER, MainKey, StartPage, TextValue(L"http://old.example"));
    if (!MayChangePermissions(MainKey))
        return check.Skip(
            L"this account may not change its start page key's permissions, so it could not unlock the key "
            L"again (the key belongs to another account, such as the Administrators group when an elevated "
            L"installer made it)");
    check.Expect(LockKey(MainKey, sddl), L"the key's permissions could not be set");
    const RunResult run = Run(profile.appData);
    check.Expect(ProtectKey(MainKey, L"D:(A;;KA;;;WD)"), L"the key could not be unlocked");
    ExpectRun(check, run, 2, withShortcut ? std::vector<Box>{Confirmation} : std::vector<Box>{});
    if (withShortcut) ExpectShortcut(check, run, profile, false);
    check.Expect(ReadValue(HKEY_CURRENT_USER, MainKey, StartPage).data == TextValue(L"http://old.example").data,
                 L"the locked value changed");
}
void LockedKeyEndsWith2(const Case& c, Check& check) { LockedKey(c.data, false, check); }
void LockedKeyStillRemovesTheShortcut(const Case& c, Check& check) { LockedKey(c.data, true, check); }

// --- the executable's resources, as Explorer reads them ------------------------------

std::vector<BYTE> VersionInfo(Check& check) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(Where().program.c_str(), &ignored);
    std::vector<BYTE> info(size);
    check.Expect(size && ::GetFileVersionInfoW(Where().program.c_str(), 0, size, info.data()),
                 L"the version resource could not be read");
    return info;
}

void VersionResource(const Case&, Check& check) {
    std::vector<BYTE> info = VersionInfo(check);
    if (info.empty()) return;
    void* value = nullptr;
    UINT length = 0;
    const bool fixed = ::VerQueryValueW(info.data(), L"\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO);
    const auto* numbers = static_cast<const VS_FIXEDFILEINFO*>(value);
    check.Expect(fixed && numbers->dwFileVersionMS == 0x10000 && numbers->dwFileVersionLS == 0 &&
                     numbers->dwProductVersionMS == 0x10000 && numbers->dwProductVersionLS == 0,
                 L"file and product versions are not both 1.0.0.0");
    const bool translated =
        ::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &value, &length) && length >= 4;
    const auto* translation = static_cast<const WORD*>(value);
    check.Expect(translated && translation[0] == 0x0409 && translation[1] == 1200,
                 L"the translation is not US English (0x0409) in Unicode (1200)");
    const auto text = [&](const wchar_t* name) {
        void* found = nullptr;
        UINT size = 0;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        return ::VerQueryValueW(info.data(), query.c_str(), &found, &size) && size
                   ? std::wstring(static_cast<const wchar_t*>(found))
                   : std::wstring();
    };
    check.Expect(text(L"FileVersion") == L"1.00", L"FileVersion is \"" + text(L"FileVersion") + L"\", not \"1.00\"");
    check.Expect(text(L"ProductVersion") == L"1.00", L"ProductVersion is not \"1.00\"");
    check.Expect(Lower(text(L"OriginalFilename")) == LowerName(Where().program),
                 L"OriginalFilename is \"" + text(L"OriginalFilename") + L"\"");
    check.Expect(text(L"ProductName") == ProgramTitle, L"ProductName is \"" + text(L"ProductName") + L"\"");
    for (const wchar_t* name : {L"CompanyName", L"FileDescription", L"InternalName"})
        check.Expect(!text(name).empty(), std::wstring(name) + L" is missing or empty");
}

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colourCount, reserved;
    WORD planes, bitCount;
    DWORD bytesInResource;
    WORD id;
};
#pragma pack(pop)

void IconImages(const Case&, Check& check) {
    const HMODULE module = ::LoadLibraryExW(Where().program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) return check.Expect(false, L"the executable could not be read as a data file");
    const HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON);
    const HGLOBAL loaded = found ? ::LoadResource(module, found) : nullptr;
    const auto* group = loaded ? static_cast<const WORD*>(::LockResource(loaded)) : nullptr;
    std::wstring images;
    if (group) {
        const auto* entries = reinterpret_cast<const IconGroupEntry*>(group + 3);
        for (WORD i = 0; i < group[2]; ++i)
            images += std::to_wstring(entries[i].width) + L"x" + std::to_wstring(entries[i].height) + L" " +
                      std::to_wstring(entries[i].colourCount) + L" colours; ";
    }
    ::FreeLibrary(module);
    check.Expect(images == L"32x32 2 colours; 32x32 16 colours; 16x16 16 colours; ",
                 L"the icon group holds " + (images.empty() ? std::wstring(L"nothing") : images));
}

// --- graphics ------------------------------------------------------------------------

bool IsGraphics(const LoadedModule& module) {
    const std::wstring name = LowerName(module.file);
    return name == L"user32.dll" || name == L"gdi32.dll" || name == L"win32u.dll";
}

std::wstring FolderOf(const std::wstring& path) { return Lower(path.substr(0, path.rfind(L'\\'))); }

// The DLLs loaded before the first `count` that neither the program nor the
// DLLs it imports, in turn, ask for by name: security software injects such
// DLLs into every new process, and some of them bring graphics in. Windows' own
// DLLs also import through API sets (api-ms-win-...), which name no file:
// where they do, a DLL from kernel32's folder counts as Windows' own.
// The names of the DLLs the program imports and, in turn, those they import.
std::set<std::wstring> ImportClosure(const RunResult& run) {
    std::set<std::wstring> imported(run.programImports.begin(), run.programImports.end());
    for (std::size_t before = 0; before != imported.size();) {
        before = imported.size();
        for (const LoadedModule& module : run.modules)
            if (imported.count(LowerName(module.file))) imported.insert(module.imports.begin(), module.imports.end());
    }
    return imported;
}

bool ImportsGraphics(const std::vector<std::wstring>& imports) {
    return std::any_of(imports.begin(), imports.end(), [](const std::wstring& name) {
        return name == L"user32.dll" || name == L"gdi32.dll" || name == L"win32u.dll";
    });
}

std::vector<std::wstring> NotImported(const RunResult& run, std::size_t count) {
    const std::set<std::wstring> imported = ImportClosure(run);
    const bool throughApiSets = std::any_of(imported.begin(), imported.end(), [](const std::wstring& name) {
        return name.rfind(L"api-ms-", 0) == 0 || name.rfind(L"ext-ms-", 0) == 0;
    });
    std::wstring system;
    for (const LoadedModule& module : run.modules)
        if (LowerName(module.file) == L"kernel32.dll") system = FolderOf(module.file);
    std::vector<std::wstring> strangers;
    for (std::size_t i = 0; i < count; ++i) {
        const std::wstring& file = run.modules[i].file;
        if (!imported.count(LowerName(file)) && !(throughApiSets && FolderOf(file) == system))
            strangers.push_back(file);
    }
    return strangers;
}

void RunWithoutABoxLoadsNoGraphics(const Case&, Check& check) {
    const RunResult run = Run(MakeProfile().appData);
    ExpectRun(check, run, 0, {});
    check.Expect(std::any_of(run.modules.begin(), run.modules.end(),
                             [](const LoadedModule& module) { return LowerName(module.file) == L"advapi32.dll"; }),
                 L"no load of advapi32.dll was reported: the debug events were not read");
    const auto first = std::find_if(run.modules.begin(), run.modules.end(), IsGraphics);
    if (first == run.modules.end()) return;
    std::wstring graphics;
    for (auto module = first; module != run.modules.end(); ++module)
        if (IsGraphics(*module)) graphics += (graphics.empty() ? L"" : L", ") + module->file;
    std::wstring strangers;
    for (const std::wstring& file : NotImported(run, static_cast<std::size_t>(first - run.modules.begin())))
        strangers += (strangers.empty() ? L"" : L", ") + file;
    // Who brought graphics in: the DLLs loaded before them that import them.
    // Where each of those lies outside what the program imports, directly or
    // in turn, the desktop's own software (endpoint security, most often) did,
    // not the program: the case cannot be judged on this desktop.
    const std::set<std::wstring> closure = ImportClosure(run);
    std::wstring bringers;
    bool programBrought = ImportsGraphics(run.programImports);
    for (auto module = run.modules.begin(); module != first; ++module) {
        if (!ImportsGraphics(module->imports)) continue;
        bringers += (bringers.empty() ? L"" : L", ") + module->file;
        programBrought = programBrought || closure.count(LowerName(module->file)) != 0;
    }
    if (!bringers.empty() && !programBrought)
        return check.Skip(L"software of this desktop's, not the program, brought " + graphics + L" in: " + bringers +
                          L" (none of them is imported by the program or the DLLs it imports)");
    check.Expect(false, L"a run that showed no box loaded " + graphics +
                            (strangers.empty() ? L""
                                               : L"; before them, DLLs that neither the program nor the Windows DLLs "
                                                 L"it imports ask for were loaded, as security software injects "
                                                 L"them: " +
                                                     strangers));
}

// A copy of the program with a user32.dll planted in its folder, which a load
// by bare name would find first. Windows never loads user32 from there, one of
// its KnownDLLs, whatever a program asks for. Wine does, for a load by bare
// name: it maps its own user32 then, but the loader names the planted copy.
void PlantedUser32IsNotLoaded(const Case& c, Check& check) {
    if (!Where().underWine)
        return check.Skip(
            L"user32.dll is one of Windows' KnownDLLs, always loaded from the system folder, so no copy beside "
            L"the program can be loaded by any build (the end-to-end suite shows the case failing under Wine for "
            L"a build that asks by bare name)");
    const Profile profile = MakeProfile();
    const std::wstring folder = profile.appData + L"\\bin";
    MakeFolders(folder);
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    RunOptions options;
    options.program = folder + L"\\" + Where().program.substr(Where().program.rfind(L'\\') + 1);
    check.Expect(
        ::CopyFileW(Where().program.c_str(), options.program.c_str(), FALSE) &&
            ::CopyFileW((std::wstring(system) + L"\\user32.dll").c_str(), (folder + L"\\user32.dll").c_str(), FALSE),
        L"the program and a user32.dll could not be copied side by side");
    const std::wstring box = c.data;
    DWORD status = 0;
    if (box == L"the refusal") {
        if (!StageVersionFive(L"winxp", check, options)) return;
    } else {
        PlantShortcut(profile.shortcut);
        if (box == L"the failure report") {
            SetAttributes(profile.shortcut, FILE_ATTRIBUTE_READONLY);
            status = 1;
        }
    }
    const RunResult run = Run(profile.appData, options);
    if (run.refused) status = 0;
    check.Expect(run.status == status && run.boxes.size() == 1,
                 L"expected one box and status " + std::to_wstring(status) + L": " + Describe(run));
    // Windows names the file in its device form (\Device\HarddiskVolume1\...),
    // so the planted one is known by the folders it lies in.
    const std::wstring planted = Lower(folder.substr(Where().scratch.size()) + L"\\user32.dll");
    const auto fromPlanted = [&planted](const std::wstring& name) {
        const std::wstring lower = Lower(name);
        return lower.size() >= planted.size() &&
               lower.compare(lower.size() - planted.size(), planted.size(), planted) == 0;
    };
    bool user32 = false;
    for (const LoadedModule& module : run.modules) {
        if (LowerName(module.file) != L"user32.dll") continue;
        user32 = true;
        check.Expect(!fromPlanted(module.file) && !fromPlanted(module.loaderName),
                     L"user32.dll came from the program's own folder: " +
                         (module.loaderName.empty() ? module.file : module.loaderName));
    }
    check.Expect(user32, L"showing a box did not load user32.dll");
}

}  // namespace

std::wstring Describe(const RunResult& run) {
    if (run.startError) return L"a run that could not start (error " + std::to_wstring(run.startError) + L")";
    if (run.timedOut) return L"a run still going at its time limit, with " + Quoted(run.boxes);
    return L"status " + std::to_wstring(run.status) + L" and " + Quoted(run.boxes);
}

// A run the program refused ends with 0 after the refusal, which nobody sees
// on a station nobody sees, whatever the case expected on another version.
void ExpectRun(Check& check, const RunResult& run, DWORD status, const std::vector<Box>& boxes) {
    if (run.startError || run.timedOut) return check.Expect(false, Describe(run));
    const DWORD expectedStatus = run.refused ? 0 : status;
    const std::vector<Box> expectedBoxes = !run.refused ? boxes
                                           : run.unseen ? std::vector<Box>{}
                                                        : std::vector<Box>{Refusal};
    check.Expect(run.status == expectedStatus && run.boxes == expectedBoxes,
                 L"ended with " + Describe(run) + L", not status " + std::to_wstring(expectedStatus) + L" and " +
                     Quoted(expectedBoxes) + (run.refused ? L" (told major version 5)" : L""));
}

void ExpectFailureReport(Check& check, const RunResult& run, const std::wstring& shortcut, DWORD error) {
    if (run.refused) return ExpectRun(check, run, 0, {});
    const std::wstring expected = L"the failure report for error " + std::to_wstring(error) + L" and status 1";
    if (run.startError || run.timedOut || run.status != 1 || run.boxes.size() != 1)
        return check.Expect(false, L"ended with " + Describe(run) + L", not " + expected);
    const Box& report = run.boxes[0];
    check.Expect(report.title == ProgramTitle && report.text.find(L"DeleteFileW failed") != std::wstring::npos &&
                     report.text.find(shortcut) != std::wstring::npos &&
                     report.text.find(L"(error " + std::to_wstring(error) + L")") != std::wstring::npos,
                 L"showed " + Quoted(run.boxes) + L", not " + expected + L" naming the shortcut");
}

void ExpectStartPageWritten(Check& check, const RunResult& run) {
    const StoredValue stored = ReadValue(HKEY_CURRENT_USER, MainKey, StartPage);
    if (run.refused)
        return check.Expect(stored.present == run.startPageBefore.present && stored.type == run.startPageBefore.type &&
                                stored.data == run.startPageBefore.data,
                            L"Start Page changed on a run told major version 5");
    // Read back in UTF-16: the address and exactly one terminator.
    const StoredValue expected = TextValue(Where().startPageUrl);
    check.Expect(stored.present && stored.type == REG_SZ && stored.data == expected.data,
                 L"Start Page is not the REG_SZ \"" + Where().startPageUrl + L"\" with one terminator");
    // Nothing waits behind a box that nobody may answer.
    for (const Box& box : run.boxes)
        if (box == Confirmation)
            check.Expect(box.startPageWhileShown.present && box.startPageWhileShown.data == expected.data,
                         L"the confirmation was shown before the start page was written");
}

void ExpectStartPageUnwritten(Check& check) {
    check.Expect(!ReadValue(HKEY_CURRENT_USER, MainKey, StartPage).present, L"Start Page was written");
}

Profile MakeProfile(const std::wstring& below) {
    static int made = 0;
    Profile profile;
    profile.appData = Where().scratch + L"\\" + std::to_wstring(++made) + below;
    profile.startup = profile.appData + StartupBelow;
    profile.shortcut = profile.startup + L"\\Internet Explorer.lnk";
    MakeFolders(profile.startup);
    return profile;
}

namespace {

void Add(std::vector<Case>& cases, const wchar_t* name, void (*run)(const Case&, Check&), const wchar_t* data = nullptr,
         unsigned needs = 0) {
    cases.push_back({name, run, data, needs});
}

}  // namespace

std::vector<Case> AllCases() {
    const bool wine = Where().underWine;
    std::vector<Case> cases;
    // The versions Wine is told to report; on Windows, its own.
    if (wine) {
        for (const wchar_t* version : {L"winxp", L"win2003", L"win2k"})
            Add(cases, L"major version 5 shows only the refusal", VersionFiveIsRefused, version, NeedsBoxes);
        for (const wchar_t* version : {L"nt40", L"vista", L"win7", L"win10"})
            Add(cases, L"another version passes the gate", OtherVersionsPassTheGate, version);
        for (const wchar_t* version : {L"win10", L"win7"})
            Add(cases, L"a shortcut is deleted with one confirmation", ShortcutIsDeletedWithOneConfirmation, version,
                NeedsBoxes);
    } else {
        Add(cases, L"major version 5 shows only the refusal", VersionFiveIsRefused, L"WinXPSP3 layer", NeedsBoxes);
        Add(cases, L"this version passes the gate", OtherVersionsPassTheGate);
        Add(cases, L"a shortcut is deleted with one confirmation", ShortcutIsDeletedWithOneConfirmation, nullptr,
            NeedsBoxes);
    }
    Add(cases, L"a hidden system shortcut is deleted", HiddenSystemShortcutIsDeleted, nullptr, NeedsBoxes);
    Add(cases, L"a folder of that name is left alone", FolderOfThatNameIsLeftAlone);
    Add(cases, L"a read-only shortcut is reported and kept", ReadOnlyShortcutIsReportedAndKept, nullptr, NeedsBoxes);
    Add(cases, L"a shortcut held open for good is reported and kept", HeldShortcutIsReportedAndKept, nullptr,
        NeedsBoxes);
    Add(cases, L"a shortcut held open for a moment is deleted", ShortcutHeldForAMomentIsDeleted, nullptr, NeedsBoxes);
    Add(cases, L"APPDATA with a trailing backslash", AppdataWithTrailingBackslash, nullptr, NeedsBoxes);
    Add(cases, L"a profile path outside the ANSI code page", ProfileOutsideTheAnsiCodePage, nullptr, NeedsBoxes);
    Add(cases, L"a shortcut pending deletion is gone", ShortcutPendingDeletionIsGone, nullptr, NeedsSupportedVersion);
    Add(cases, L"a deletion the file's permissions refuse is reported", DeletionRefusedByPermissionsIsReported, nullptr,
        NeedsBoxes);
    Add(cases, L"a Startup path of 260 characters or more", StartupPathOfMaxPathOrMore, nullptr, NeedsBoxes);
    for (const wchar_t* kind : {L"unset", L"empty", L"in quotes", L"ending in *", L"on a server that cannot be reached",
                                L"on a drive that is not there", L"naming no folder"})
        Add(cases, L"APPDATA out of reach ends with 3", StartupFolderOutOfReach, kind);
    Add(cases, L"nobody sees the refusal", UnseenRefusal);
    Add(cases, L"nobody sees the confirmation", UnseenConfirmation);
    Add(cases, L"nobody sees the failure report", UnseenFailureReport);
    Add(cases, L"nobody sees the refusal", UnseenRefusal, L"/Quiet", NeedsBoxes);
    Add(cases, L"nobody sees the confirmation", UnseenConfirmation, L"/quiet", NeedsBoxes);
    Add(cases, L"nobody sees the failure report", UnseenFailureReport, L"/QUIET", NeedsBoxes);
    for (const wchar_t* asked : {L"/?", L"/? /Quiet"})
        Add(cases, L"/? tells what the program does and changes nothing", HelpChangesNothing, asked);
    Add(cases, L"a service account ends with 4", RunAsServiceAccount, L"LocalSystem");
    Add(cases, L"a service account ends with 4", RunAsServiceAccount, L"LocalService");
    Add(cases, L"the start page's key and its parents are created", KeyAndParentsAreCreated);
    for (const wchar_t* kind : {L"another type", L"another text", L"the same text"})
        Add(cases, L"an earlier start page is replaced", EarlierValueIsReplaced, kind);
    for (const wchar_t* sddl : {L"D:P(A;;KR;;;WD)", L"D:P"}) {
        Add(cases, L"a start page key the user may not write ends with 2", LockedKeyEndsWith2, sddl);
        Add(cases, L"a start page key the user may not write still loses the shortcut",
            LockedKeyStillRemovesTheShortcut, sddl, NeedsBoxes);
    }
    Add(cases, L"the version resource", VersionResource);
    Add(cases, L"the three icon images", IconImages);
    Add(cases, L"a run without a box loads no graphics", RunWithoutABoxLoadsNoGraphics, nullptr, NeedsSupportedVersion);
    for (const wchar_t* box : {L"the refusal", L"the confirmation", L"the failure report"})
        Add(cases, L"a user32.dll beside the program is not loaded", PlantedUser32IsNotLoaded, box, NeedsBoxes);
    AddProfileCases(cases);
    return cases;
}

}  // namespace pilot
