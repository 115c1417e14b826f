// remediate-pilot: the program's cases on the desktop it runs on.
//
//   remediate-pilot-x86.exe [--program EXE [--start-page-url URL]] [--only TEXT] [--every-profile [--yes]]
//       Runs every case (or those whose name holds TEXT) against the matching
//       program one folder up, or EXE, for the address in START_PAGE_URL.txt
//       beside it, or URL. One line a case: "ok NAME", "FAILED NAME: ...",
//       "skipped NAME: ..." or "todo (Wine) NAME: ..."; then "N passed, N
//       failed, N skipped". The exit status is the number of failures, at most 255.
//       The cases over every profile (elevated, on Windows) run only with
//       --every-profile: the kit then says what they will change, and waits for
//       a "yes" unless told --yes, before it changes anything.
//   remediate-pilot-x86.exe --restore
//       Only puts back what a kit ended by force had changed, saying what first.
// Its first line names the account it runs as, whether it is elevated and
// whether its window station is visible. Run as LocalSystem, LocalService or
// NetworkService, it refuses to start (status 254): the program's own run ends
// with 4 there, and every case would fail.
// The kit's own processes also start it as --report-version (its exit status
// is the major version Windows reports to it) and, as a temporary service,
// --service EXE APPDATA.
#include "kit.h"

#include <sddl.h>

#include <cstdio>
#include <cwchar>

namespace pilot {
namespace {

Setting where;
HANDLE interrupted = nullptr;  // set by the console's control handler
HANDLE putBack = nullptr;      // set once the account is as it was found

#if defined(_WIN64)
constexpr wchar_t Arch[] = L"x64";
#else
constexpr wchar_t Arch[] = L"x86";
#endif

int Usage(const std::wstring& problem) {
    Print(L"remediate-pilot: " + problem);
    Print(std::wstring(L"usage: remediate-pilot-") + Arch +
          L".exe [--program EXE [--start-page-url URL]] [--only TEXT] [--every-profile [--yes]] | --restore");
    return 255;
}

std::wstring ModulePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring FullPath(const std::wstring& path) {
    std::vector<wchar_t> buffer(path.size() + MAX_PATH);
    const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    return length && length < buffer.size() ? std::wstring(buffer.data(), length) : path;
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

// START_PAGE_URL.txt as `make` writes it: the address and a newline.
std::wstring AddressBeside(const std::wstring& program) {
    const HANDLE file = ::CreateFileW((FolderOf(program) + L"\\START_PAGE_URL.txt").c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return L"";
    char bytes[4096];
    DWORD read = 0;
    ::ReadFile(file, bytes, sizeof(bytes), &read, nullptr);
    ::CloseHandle(file);
    while (read && (bytes[read - 1] == '\n' || bytes[read - 1] == '\r')) --read;
    std::wstring address(read, L'\0');
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(read), &address[0], read);
    address.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return address;
}

bool UnderWine() { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// An administrator whose token holds the Administrators group enabled: on
// Windows Vista and later, an elevated prompt.
bool Elevated() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                    &administrators))
        return false;
    BOOL member = FALSE;
    const bool checked = ::CheckTokenMembership(nullptr, administrators, &member);
    ::FreeSid(administrators);
    return checked && member;
}

BOOL WINAPI OnConsoleControl(DWORD) {
    ::SetEvent(interrupted);
    EndRunInProgress();
    // The main thread puts the account back; the process ends once this returns.
    ::WaitForSingleObject(putBack, 20000);
    return TRUE;
}

bool Interrupted() { return ::WaitForSingleObject(interrupted, 0) == WAIT_OBJECT_0; }

std::wstring AccountName() {
    wchar_t name[256];
    DWORD length = ARRAYSIZE(name);
    return ::GetUserNameW(name, &length) ? name : L"(this account)";
}

constexpr int RefusedAccount = 254;

// False for a service account, whose own run of the program ends with 4.
bool SayWhoRuns() {
    const std::wstring sid = AccountSid();
    Print(L"remediate-pilot: running as " + AccountName() + L" (" + (sid.empty() ? L"SID unknown" : sid) + L"), " +
          (where.elevated ? L"elevated" : L"not elevated") + L", on a window station " +
          (where.boxesReadable ? L"that is visible" : L"nobody sees"));
    for (const wchar_t* service : {L"S-1-5-18", L"S-1-5-19", L"S-1-5-20"}) {
        if (sid != service) continue;
        Print(
            L"remediate-pilot: this is a service account, where the program changes nothing and ends with 4: run "
            L"the kit as a user (a standard one, and an elevated administrator). Nothing was run.");
        return false;
    }
    return true;
}

void SayWhatChanges() {
    Print(L"remediate-pilot: " + where.program + L", built for " + where.startPageUrl +
          (where.underWine ? L", under Wine" : L""));
    Print(L"It changes, for the account " + AccountName() + L": the value \"Start Page\" under HKEY_CURRENT_USER\\" +
          MainKey + L" and that key's permissions" + (where.underWine ? L", and Wine's Windows version" : L"") + L".");
    Print(
        L"It puts them back after the last case, on Ctrl+C and when this window is closed; if it is ended by "
        L"force, at its next start (or with --restore).");
    Print(L"Each case works in a scratch profile below " + where.scratch +
          L", removed at the end; the account's own Startup folder is never touched.");
    if (where.elevated && !where.underWine && !where.everyProfile)
        Print(
            L"The cases over every profile, which make local users and run the program over every profile of this "
            L"desktop, are skipped: run the kit with --every-profile, which says what they change first.");
}

// "yes" typed at the prompt; anything else, or no input at all, is a no.
bool Confirmed() {
    Print(L"Type yes and press Enter to go on; anything else changes nothing.");
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    std::string line;
    char c = 0;
    DWORD read = 0;
    while (line.size() < 64 && ::ReadFile(in, &c, 1, &read, nullptr) && read == 1 && c != '\n') line += c;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line == "yes" || line == "Yes" || line == "YES";
}

// Before anything changes (a hive unloaded, a pending record put back
// included): what the cases over every profile will do, and a yes for it.
bool EveryProfileAgreed(bool yes) {
    if (!where.everyProfile) return true;
    for (const std::wstring& line : EveryProfilePlan()) Print(line);
    for (const std::wstring& line : PendingPutBack()) Print(line);
    if (yes || Confirmed()) return true;
    Print(L"remediate-pilot: not agreed to: nothing was changed");
    return false;
}

// Hives an ended kit, or a program it ended, left loaded keep their users
// from signing in properly.
void UnloadLeftovers() {
    if (!where.elevated || !where.everyProfile) return;
    const std::wstring stays = UnloadLeftoverHives();
    if (!stays.empty()) Print(L"remediate-pilot: these hives stay loaded until the computer restarts: " + stays);
}

int Restore() {
    const std::vector<std::wstring> plan = PendingPutBack();
    for (const std::wstring& line : plan) Print(line);
    if (AccountCopyKept()) Print(L"It puts back this account's start page and its key's permissions as found.");
    UnloadLeftovers();
    if (!RestoreAccount()) {
        Print(
            L"remediate-pilot: what an earlier kit changed could not all be put back (see above): run the kit "
            L"with --restore again, as the account that ran it and elevated");
        return 255;
    }
    if (ProfilesRecordPending()) return 255;  // said by RestoreAccount: it needs elevation
    Print(L"remediate-pilot: nothing is left to put back");
    return 0;
}

std::wstring Joined(const std::vector<std::wstring>& parts) {
    std::wstring text;
    for (const std::wstring& part : parts) text += (text.empty() ? L"" : L"; ") + part;
    return text;
}

int RunCases(const std::wstring& only, bool yes) {
    if (!EveryProfileAgreed(yes)) return 255;
    UnloadLeftovers();
    if (AccountCopyKept() || (where.elevated && ProfilesRecordPending())) {
        Print(L"remediate-pilot: putting back what an earlier kit, ended before it finished, changed");
        if (!RestoreAccount()) return Restore();
    }
    SayWhatChanges();
    if (!SaveAccount()) {
        RestoreAccount();
        Print(
            L"remediate-pilot: the account's start page and its key's permissions could not be saved: nothing "
            L"was run");
        return 255;
    }
    MakeFolders(where.scratch);
    where.majorVersion = ReportedMajorVersion({});
    Print(L"Windows reports major version " + std::to_wstring(where.majorVersion) + L" to the program here" +
          (where.majorVersion == 5 ? L": it refuses every run, and the cases expect that" : L"") + L".");
    int passed = 0, failed = 0, skipped = 0, notPutBack = 0;
    for (const Case& c : AllCases()) {
        const std::wstring name = c.name + (c.data ? L" (" + std::wstring(c.data) + L")" : L"");
        if (!only.empty() && name.find(only) == std::wstring::npos) continue;
        if (Interrupted()) break;
        ResetStartPage();
        Check check;
        if ((c.needs & NeedsBoxes) && !where.boxesReadable)
            check.Skip(L"it expects a box, which can only be read where this kit's window station is visible");
        else if ((c.needs & NeedsSupportedVersion) && where.majorVersion == 5)
            check.Skip(
                L"this Windows reports major version 5, which the program refuses: the case needs a version it "
                L"runs on");
        else
            c.run(c, check);
        if (Interrupted()) break;
        for (const std::wstring& what : check.NotPutBackWhat()) {
            ++notPutBack;
            Print(L"not put back " + name + L": " + what);
        }
        if (!check.Skipped().empty()) {
            ++skipped;
            Print(L"skipped " + name + L": " + check.Skipped());
        } else if (!check.NotStagedWhy().empty()) {
            // The desktop, not the program: counted with the skipped cases.
            ++skipped;
            Print(L"not staged " + name + L": " + check.NotStagedWhy());
        } else if (!check.Differences().empty()) {
            ++failed;
            Print(L"FAILED " + name + L": " + Joined(check.Differences()));
        } else if (!check.WineDifferences().empty()) {
            ++skipped;
            Print(L"todo (Wine) " + name + L": " + Joined(check.WineDifferences()));
        } else {
            ++passed;
            Print(L"ok " + name);
        }
    }
    const bool restored = RestoreAccount();
    RemoveTree(where.scratch);
    ::SetEvent(putBack);
    if (!restored)
        Print(L"remediate-pilot: the account's start page could not be put back: run the kit with --restore");
    if (Interrupted()) {
        Print(L"remediate-pilot: interrupted; the account's start page and its key's permissions are as they were");
        return 255;
    }
    if (notPutBack)
        Print(
            L"remediate-pilot: what the lines \"not put back\" name is as they say: see to it, or run the kit with "
            L"--restore");
    Print(std::to_wstring(passed) + L" passed, " + std::to_wstring(failed) + L" failed, " + std::to_wstring(skipped) +
          L" skipped");
    return failed > 255 ? 255 : failed;
}

}  // namespace

const Setting& Where() { return where; }

bool OwnStationIsVisible() {
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    const HWINSTA station = ::GetProcessWindowStation();
    return station && ::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed) &&
           (flags.dwFlags & WSF_VISIBLE);
}
void SetWhere(const Setting& setting) { where = setting; }

void Check::Expect(bool held, const std::wstring& difference) {
    if (!held) differences_.push_back(difference);
}

void Check::ExpectTodoWine(bool held, const std::wstring& difference) {
    if (!held) (where.underWine ? wineDifferences_ : differences_).push_back(difference);
}

void Print(const std::wstring& line) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    const std::wstring text = line + L"\r\n";
    if (::GetConsoleMode(out, &mode)) {
        ::WriteConsoleW(out, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], size, nullptr, nullptr);
    ::WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

// What a standard user can do to the run's lock, in a process the every-profile
// case starts with a standard user's token: the old Global\ name taken first,
// as an event no one else may open, and the run's private namespace tried (its
// boundary, the Administrators group, is not this token's to make); then it
// waits to be ended.
int SquatLock() {
    PSECURITY_DESCRIPTOR ownOnly = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;OW)", SDDL_REVISION_1, &ownOnly, nullptr))
        return 1;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), ownOnly, FALSE};
    const HANDLE squatted = ::CreateEventW(&attributes, TRUE, FALSE, L"Global\\Desktop Remediation");
    ::LocalFree(ownOnly);
    if (!squatted) return 1;
    using CreateBoundaryFunction = HANDLE(WINAPI*)(LPCWSTR, ULONG);
    using AddSidFunction = BOOL(WINAPI*)(HANDLE*, PSID);
    using CreateNamespaceFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    const auto createBoundary = reinterpret_cast<CreateBoundaryFunction>(
        reinterpret_cast<void*>(::GetProcAddress(kernel32, "CreateBoundaryDescriptorW")));
    const auto addSid = reinterpret_cast<AddSidFunction>(
        reinterpret_cast<void*>(::GetProcAddress(kernel32, "AddSIDToBoundaryDescriptor")));
    const auto createNamespace = reinterpret_cast<CreateNamespaceFunction>(
        reinterpret_cast<void*>(::GetProcAddress(kernel32, "CreatePrivateNamespaceW")));
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    HANDLE boundary = createBoundary ? createBoundary(L"Desktop Remediation", 0) : nullptr;
    if (boundary && addSid && createNamespace &&
        ::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                   0, &administrators) &&
        addSid(&boundary, administrators) && createNamespace(nullptr, boundary, L"Desktop Remediation")) {
        Print(L"remediate-pilot: a standard user's token made the run's private namespace");
        return 1;
    }
    ::Sleep(INFINITE);
    return 0;
}

}  // namespace pilot

int wmain(int argc, wchar_t** argv) {
    using namespace pilot;
    Setting setting;
    setting.kit = ModulePath();
    setting.underWine = UnderWine();
    std::wstring only, address;
    bool yes = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == L"--report-version") {
            OSVERSIONINFOA version{};
            version.dwOSVersionInfoSize = sizeof(version);
            ::GetVersionExA(&version);
            return static_cast<int>(version.dwMajorVersion);
        } else if (option == L"--service" && i + 2 < argc) {
            return ServiceMain(argv[i + 1], argv[i + 2]);
        } else if (option == L"--squat-lock") {
            return SquatLock();
        } else if (option == L"--restore") {
            setting.elevated = Elevated();
            setting.everyProfile = true;  // what the cases over every profile recorded is put back too
            SetWhere(setting);
            return Restore();
        } else if (option == L"--program" && hasValue) {
            setting.program = FullPath(argv[++i]);
        } else if (option == L"--start-page-url" && hasValue) {
            address = argv[++i];
        } else if (option == L"--only" && hasValue) {
            only = argv[++i];
        } else if (option == L"--every-profile") {
            setting.everyProfile = true;
        } else if (option == L"--yes") {
            yes = true;
        } else {
            return Usage(L"unknown option " + option);
        }
    }
    if (setting.program.empty()) setting.program = FolderOf(FolderOf(setting.kit)) + L"\\remediate-" + Arch + L".exe";
    if (::GetFileAttributesW(setting.program.c_str()) == INVALID_FILE_ATTRIBUTES)
        return Usage(L"no program at " + setting.program +
                     L": run the kit from dist\\pilot, or name it with --program");
    setting.startPageUrl = address.empty() ? AddressBeside(setting.program) : address;
    if (setting.startPageUrl.empty())
        return Usage(L"no START_PAGE_URL.txt beside " + setting.program + L": give its address with --start-page-url");
    setting.boxesReadable = OwnStationIsVisible();
    setting.elevated = Elevated();
    wchar_t temporary[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temporary);
    setting.scratch =
        FullPath(std::wstring(temporary) + L"remediate-pilot-" + std::to_wstring(::GetCurrentProcessId()));
    // GetTempPathW often gives 8.3 names (C:\\Users\\ADMINI~1\\...): the folder in its long form, as
    // Windows names it, so that no case depends on how a program reads a short one.
    MakeFolders(setting.scratch);
    wchar_t longForm[MAX_PATH];
    const DWORD longLength = ::GetLongPathNameW(setting.scratch.c_str(), longForm, MAX_PATH);
    if (longLength && longLength < MAX_PATH) setting.scratch = longForm;
    SetWhere(setting);
    if (!SayWhoRuns()) return RefusedAccount;

    interrupted = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    putBack = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return RunCases(only, yes);
}
