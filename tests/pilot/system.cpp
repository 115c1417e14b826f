// Files, registry values and permissions as the cases set them up and read
// them back, and the account's start page, saved and put back.
#include "kit.h"

#include <sddl.h>

#include <cstring>
#include <cwchar>

namespace pilot {

const wchar_t InternetExplorerKey[] = L"Software\\Microsoft\\Internet Explorer";
const wchar_t MainKey[] = L"Software\\Microsoft\\Internet Explorer\\Main";

namespace {

using desktop::Key;

// A security descriptor string as the self-relative descriptor it stands for;
// empty when it is no such string.
std::vector<BYTE> DescriptorFromSddl(const wchar_t* sddl) {
    desktop::LocalMemory descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.Out(), nullptr))
        return {};
    const BYTE* bytes = static_cast<const BYTE*>(descriptor.Get());
    return std::vector<BYTE>(bytes, bytes + ::LocalSize(descriptor.Get()));
}

void LocalFreeText(wchar_t* text) { ::LocalFree(text); }

constexpr wchar_t KeptCopyKey[] = L"Software\\Desktop Remediation Pilot";
constexpr wchar_t WineKey[] = L"Software\\Wine";
constexpr wchar_t StartPage[] = L"Start Page";

// What the kit found before its first case.
struct Found {
    bool internetExplorerExisted = false;
    bool mainExisted = false;
    StoredValue startPage;
    std::vector<BYTE> security;  // the Main key's DACL, self-relative
    StoredValue wineVersion;     // under Wine
};
Found found;

std::vector<BYTE> KeyDacl(const wchar_t* path) {
    Key key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, READ_CONTROL, key.Out()) != ERROR_SUCCESS) return {};
    DWORD size = 0;
    ::RegGetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    std::vector<BYTE> descriptor(size);
    if (size == 0 ||
        ::RegGetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, descriptor.data(), &size) != ERROR_SUCCESS)
        return {};
    return descriptor;
}

bool SetKeyDacl(const wchar_t* path, std::vector<BYTE> descriptor) {
    if (descriptor.empty()) return true;
    Key key;
    // Its owner may always change a key's permissions, whatever they grant.
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, WRITE_DAC, key.Out()) != ERROR_SUCCESS) return false;
    return ::RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, descriptor.data()) == ERROR_SUCCESS;
}

StoredValue Flag(bool set) {
    StoredValue value{true, REG_DWORD, std::vector<BYTE>(4)};
    value.data[0] = set ? 1 : 0;
    return value;
}

bool IsSet(const StoredValue& flag) { return flag.present && !flag.data.empty() && flag.data[0]; }

StoredValue Binary(const std::vector<BYTE>& bytes) { return StoredValue{true, REG_BINARY, bytes}; }

// The kept copy holds each saved value under its name, with "present" and
// "type" beside it.
void KeepValue(const std::wstring& name, const StoredValue& value) {
    WriteValue(HKEY_CURRENT_USER, KeptCopyKey, (name + L" present").c_str(), Flag(value.present));
    StoredValue type{true, REG_DWORD, std::vector<BYTE>(4)};
    std::memcpy(type.data.data(), &value.type, 4);
    WriteValue(HKEY_CURRENT_USER, KeptCopyKey, (name + L" type").c_str(), type);
    WriteValue(HKEY_CURRENT_USER, KeptCopyKey, (name + L" data").c_str(), Binary(value.data));
}

StoredValue KeptValue(const std::wstring& name) {
    StoredValue value;
    value.present = IsSet(ReadValue(HKEY_CURRENT_USER, KeptCopyKey, (name + L" present").c_str()));
    const StoredValue type = ReadValue(HKEY_CURRENT_USER, KeptCopyKey, (name + L" type").c_str());
    if (type.data.size() == 4) std::memcpy(&value.type, type.data.data(), 4);
    value.data = ReadValue(HKEY_CURRENT_USER, KeptCopyKey, (name + L" data").c_str()).data;
    return value;
}

Found ReadKeptCopy() {
    Found kept;
    kept.internetExplorerExisted = IsSet(ReadValue(HKEY_CURRENT_USER, KeptCopyKey, L"Internet Explorer key existed"));
    kept.mainExisted = IsSet(ReadValue(HKEY_CURRENT_USER, KeptCopyKey, L"Main key existed"));
    kept.startPage = KeptValue(StartPage);
    kept.security = ReadValue(HKEY_CURRENT_USER, KeptCopyKey, L"Main key permissions").data;
    kept.wineVersion = KeptValue(L"Wine Version");
    return kept;
}

// Written only where it differs: an account may read its key's permissions
// and not be allowed to change them, on a locked-down desktop.
bool PutDacl(const wchar_t* path, const std::vector<BYTE>& descriptor) {
    return KeyDacl(path) == descriptor || SetKeyDacl(path, descriptor);
}

bool PutBack(const Found& saved) {
    bool done = true;
    if (!saved.mainExisted) {
        // A key the kit made and a case locked opens to nothing, not even to
        // be listed and deleted: the lock kept the right to open it up again.
        ProtectKey(MainKey, L"D:(A;;KA;;;WD)");
        done = DeleteKeyTree(HKEY_CURRENT_USER, saved.internetExplorerExisted ? MainKey : InternetExplorerKey) && done;
    } else {
        // Permissions first: the cases may have left the key closed to writing.
        if (KeyExists(HKEY_CURRENT_USER, MainKey) || !KeyDacl(MainKey).empty())
            done = PutDacl(MainKey, saved.security) && done;
        done = WriteValue(HKEY_CURRENT_USER, MainKey, StartPage, saved.startPage) && done;
    }
    if (Where().underWine) done = WriteValue(HKEY_CURRENT_USER, WineKey, L"Version", saved.wineVersion) && done;
    return done;
}

}  // namespace

StoredValue ReadValue(HKEY root, const wchar_t* path, const wchar_t* name, REGSAM view) {
    StoredValue value;
    Key key;
    if (::RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE | view, key.Out()) != ERROR_SUCCESS) return value;
    DWORD size = 0;
    if (::RegQueryValueExW(key.Get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) return value;
    value.data.resize(size);
    if (::RegQueryValueExW(key.Get(), name, nullptr, &value.type, value.data.data(), &size) != ERROR_SUCCESS)
        return StoredValue();
    value.data.resize(size);
    value.present = true;
    return value;
}

bool WriteValue(HKEY root, const wchar_t* path, const wchar_t* name, const StoredValue& value, REGSAM view) {
    Key key;
    if (!value.present) {
        const LONG opened = ::RegOpenKeyExW(root, path, 0, KEY_SET_VALUE | view, key.Out());
        if (opened == ERROR_FILE_NOT_FOUND) return true;
        if (opened != ERROR_SUCCESS) return false;
        const LONG removed = ::RegDeleteValueW(key.Get(), name);
        return removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND;
    }
    if (::RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, key.Out(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    return ::RegSetValueExW(key.Get(), name, 0, value.type, value.data.data(), static_cast<DWORD>(value.data.size())) ==
           ERROR_SUCCESS;
}

std::wstring TextOf(const StoredValue& value) {
    if (!value.present || (value.type != REG_SZ && value.type != REG_EXPAND_SZ)) return L"";
    std::wstring text(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / sizeof(wchar_t));
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

StoredValue TextValue(const std::wstring& text) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return StoredValue{true, REG_SZ, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
}

bool KeyExists(HKEY root, const wchar_t* path, REGSAM view) {
    Key key;
    return ::RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE | view, key.Out()) == ERROR_SUCCESS;
}

// RegDeleteTreeW first came with Vista: the subkeys go first, one by one.
// RegDeleteKeyW deletes in the process's own view; a view asked for needs
// RegDeleteKeyExW (Windows XP x64 and later), looked up where it is used.
bool DeleteKeyTree(HKEY root, const wchar_t* path, REGSAM view) {
    {
        Key key;
        const LONG opened = ::RegOpenKeyExW(root, path, 0, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | view, key.Out());
        if (opened == ERROR_FILE_NOT_FOUND) return true;
        if (opened != ERROR_SUCCESS) return false;
        for (;;) {
            wchar_t name[256];
            DWORD length = ARRAYSIZE(name);
            if (::RegEnumKeyExW(key.Get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            if (!DeleteKeyTree(root, (std::wstring(path) + L"\\" + name).c_str(), view)) return false;
        }
    }
    using DeleteKeyExFunction = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
    const auto deleteKeyEx = view ? SystemProcedure<DeleteKeyExFunction>(L"advapi32.dll", "RegDeleteKeyExW") : nullptr;
    const LONG removed = deleteKeyEx ? deleteKeyEx(root, path, view, 0) : ::RegDeleteKeyW(root, path);
    return removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND;
}

bool ProtectKey(const wchar_t* path, const wchar_t* sddl) {
    const std::vector<BYTE> descriptor = DescriptorFromSddl(sddl);
    return !descriptor.empty() && SetKeyDacl(path, descriptor);
}

bool MayChangePermissions(const wchar_t* path) {
    Key key;
    return ::RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, WRITE_DAC, key.Out()) == ERROR_SUCCESS;
}

std::wstring AccountSid() {
    desktop::Handle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Out())) return L"";
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size ? size : 1);
    desktop::Owned<wchar_t*, &LocalFreeText> sid;
    if (!::GetTokenInformation(token.Get(), TokenUser, user.data(), size, &size) ||
        !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, sid.Out()))
        return L"";
    return sid.Get();
}

bool LockKey(const wchar_t* path, const wchar_t* sddl) {
    const std::wstring sid = AccountSid();
    // Deleting it stays too: a kit ended during the case puts a key it made
    // back by deleting it.
    return !sid.empty() && ProtectKey(path, (std::wstring(sddl) + L"(A;;RCWDSD;;;" + sid + L")").c_str());
}

bool AccountCopyKept() { return KeyExists(HKEY_CURRENT_USER, KeptCopyKey); }

bool SaveAccount() {
    found.internetExplorerExisted = KeyExists(HKEY_CURRENT_USER, InternetExplorerKey);
    found.mainExisted = KeyExists(HKEY_CURRENT_USER, MainKey);
    found.startPage = ReadValue(HKEY_CURRENT_USER, MainKey, StartPage);
    found.security = found.mainExisted ? KeyDacl(MainKey) : std::vector<BYTE>();
    if (found.mainExisted && found.security.empty()) return false;
    if (Where().underWine) found.wineVersion = ReadValue(HKEY_CURRENT_USER, WineKey, L"Version");
    KeepValue(StartPage, found.startPage);
    KeepValue(L"Wine Version", found.wineVersion);
    WriteValue(HKEY_CURRENT_USER, KeptCopyKey, L"Main key permissions", Binary(found.security));
    WriteValue(HKEY_CURRENT_USER, KeptCopyKey, L"Main key existed", Flag(found.mainExisted));
    WriteValue(HKEY_CURRENT_USER, KeptCopyKey, L"Scratch folder", TextValue(Where().scratch));
    // Written last: a copy without it was never finished, and holds nothing to put back.
    return WriteValue(HKEY_CURRENT_USER, KeptCopyKey, L"Internet Explorer key existed",
                      Flag(found.internetExplorerExisted)) &&
           ReadKeptCopy().security == found.security;
}

bool RestoreAccount() {
    // The cases over every profile keep theirs for the desktop, whichever
    // account ran them; unelevated, it is left for an elevated --restore.
    // Only a kit told --every-profile (or --restore) touches it, having said what it puts back.
    PutBackOutcome profiles = PutBackOutcome::Done;
    if (Where().everyProfile) {
        std::wstring said;
        profiles = PutBackProfiles(said);
        if (!said.empty()) Print(L"remediate-pilot: not put back as found: " + said);
    }
    if (profiles == PutBackOutcome::NeedsElevation || (!Where().everyProfile && ProfilesRecordPending()))
        Print(
            L"remediate-pilot: an elevated kit's record of the cases over every profile waits to be put back: run "
            L"the kit with --restore as an elevated administrator");
    if (!AccountCopyKept()) return profiles != PutBackOutcome::Failed;
    const bool finished = ReadValue(HKEY_CURRENT_USER, KeptCopyKey, L"Internet Explorer key existed").present;
    if (finished && !PutBack(ReadKeptCopy())) return false;
    if (profiles == PutBackOutcome::Failed || !PutBackServices()) return false;
    // The scratch folder of a kit ended by force goes too.
    const std::wstring folder = TextOf(ReadValue(HKEY_CURRENT_USER, KeptCopyKey, L"Scratch folder"));
    // Only ever a folder of the kit's own making.
    if (folder.find(L"\\remediate-pilot-") != std::wstring::npos) RemoveTree(folder);
    return DeleteKeyTree(HKEY_CURRENT_USER, KeptCopyKey);
}

bool InternetExplorerKeyExistedAtStart() { return found.internetExplorerExisted; }

void ResetStartPage() {
    if (found.mainExisted) {
        PutDacl(MainKey, found.security);
    } else if (KeyExists(HKEY_CURRENT_USER, MainKey)) {
        ProtectKey(MainKey, L"D:(A;;KA;;;WD)");
    }
    WriteValue(HKEY_CURRENT_USER, MainKey, StartPage, StoredValue());
    // Wine's own setting is this system's version; a case stages another itself.
    if (Where().underWine) WriteValue(HKEY_CURRENT_USER, WineKey, L"Version", found.wineVersion);
}

void SetWineVersion(const wchar_t* version) { WriteValue(HKEY_CURRENT_USER, WineKey, L"Version", TextValue(version)); }

// --- files -----------------------------------------------------------------

std::wstring ExtendedPath(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0) return path;
    if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

bool MakeFolders(const std::wstring& path) {
    const std::wstring extended = ExtendedPath(path);
    // Every parent after the drive, in turn; those that are there already stay.
    for (std::size_t at = extended.find(L'\\', 7); at != std::wstring::npos; at = extended.find(L'\\', at + 1))
        ::CreateDirectoryW(extended.substr(0, at).c_str(), nullptr);
    return ::CreateDirectoryW(extended.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool PlantShortcut(const std::wstring& path) {
    MakeFolders(path.substr(0, path.rfind(L'\\')));
    const HANDLE file = ::CreateFileW(ExtendedPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    static const char content[] = "L\0\0\0 a shortcut";
    DWORD written = 0;
    const bool wrote = ::WriteFile(file, content, sizeof(content) - 1, &written, nullptr) != 0;
    ::CloseHandle(file);
    return wrote;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(ExtendedPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(ExtendedPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool SetAttributes(const std::wstring& path, DWORD attributes) {
    return ::SetFileAttributesW(ExtendedPath(path).c_str(), attributes ? attributes : FILE_ATTRIBUTE_NORMAL) != 0;
}

bool SetSecurity(const std::wstring& path, const wchar_t* sddl) {
    std::vector<BYTE> descriptor = DescriptorFromSddl(sddl);
    return !descriptor.empty() && ::SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data()) != 0;
}

void RemoveTree(const std::wstring& path) {
    const std::wstring extended = ExtendedPath(path);
    const DWORD attributes = ::GetFileAttributesW(extended.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::SetFileAttributesW(extended.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(extended.c_str());
        return;
    }
    WIN32_FIND_DATAW entry;
    const HANDLE search = ::FindFirstFileW((extended + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(entry.cFileName, L".") && wcscmp(entry.cFileName, L".."))
                RemoveTree(path + L"\\" + entry.cFileName);
        } while (::FindNextFileW(search, &entry));
        ::FindClose(search);
    }
    ::SetFileAttributesW(extended.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::RemoveDirectoryW(extended.c_str());
}

std::wstring FreeDriveLetter() {
    const DWORD used = ::GetLogicalDrives();
    for (wchar_t letter = L'Q'; letter <= L'Y'; ++letter)
        if (!(used & (1u << (letter - L'A')))) return std::wstring(1, letter) + L":";
    return L"";
}

}  // namespace pilot
