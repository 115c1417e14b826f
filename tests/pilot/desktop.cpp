#include "desktop.h"

#include <algorithm>
#include <cwchar>

namespace desktop {
namespace {

std::wstring ClassOf(HWND window) {
    wchar_t name[64];
    const int length = ::GetClassNameW(window, name, ARRAYSIZE(name));
    return std::wstring(name, length > 0 ? static_cast<size_t>(length) : 0);
}

struct BoxSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectBoxes(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<BoxSearch*>(context);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && ::IsWindowVisible(window) && ClassOf(window) == L"#32770")
        search->found.push_back(window);
    return TRUE;
}

// An environment variable's name, upper-cased: up to the first "=" after its
// first character, since the names Windows keeps per drive begin with one ("=C:").
std::wstring UpperName(const std::wstring& entry) {
    std::wstring name = entry.substr(0, entry.find(L'=', 1));
    if (!name.empty()) ::CharUpperBuffW(&name[0], static_cast<DWORD>(name.size()));
    return name;
}

// Windows documents an environment block as sorted by name, case-insensitively,
// in Unicode order whatever the locale: the upper-cased names compared ordinally.
bool NameBefore(const std::wstring& a, const std::wstring& b) { return UpperName(a) < UpperName(b); }

}  // namespace

std::vector<wchar_t> EnvironmentWith(const std::vector<std::wstring>& replaced,
                                     const std::vector<std::wstring>& added) {
    std::vector<std::wstring> entries;
    wchar_t* strings = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry; entry += wcslen(entry) + 1) {
        bool keep = true;
        for (const std::wstring& name : replaced)
            if (_wcsnicmp(entry, name.c_str(), name.size()) == 0) keep = false;
        if (keep) entries.emplace_back(entry);
    }
    ::FreeEnvironmentStringsW(strings);
    entries.insert(entries.end(), added.begin(), added.end());
    std::stable_sort(entries.begin(), entries.end(), NameBefore);
    std::vector<wchar_t> block;
    for (const std::wstring& entry : entries)
        block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    block.push_back(L'\0');
    return block;
}

std::vector<HWND> VisibleBoxesOf(DWORD processId) {
    BoxSearch search{processId, {}};
    ::EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The text Windows keeps for the window, read without a message: a box's
// thread may be stopped at a debug event, and would never answer one.
std::wstring WindowText(HWND window) {
    wchar_t buffer[4096];
    const int length = ::InternalGetWindowText(window, buffer, ARRAYSIZE(buffer));
    return std::wstring(buffer, length > 0 ? static_cast<size_t>(length) : 0);
}

std::wstring BoxText(HWND box) {
    std::wstring text;
    for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        if (_wcsicmp(ClassOf(child).c_str(), L"Static") != 0) continue;
        const std::wstring part = WindowText(child);
        if (part.empty()) continue;
        if (!text.empty()) text += L"\n";
        text += part;
    }
    return text;
}

void PressOk(HWND box) { ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }

}  // namespace desktop
