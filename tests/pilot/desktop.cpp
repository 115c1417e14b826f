#include "desktop.h"

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

}  // namespace

std::vector<wchar_t> EnvironmentWith(const std::vector<std::wstring>& replaced,
                                     const std::vector<std::wstring>& added) {
    std::vector<wchar_t> block;
    wchar_t* strings = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry; entry += wcslen(entry) + 1) {
        bool keep = true;
        for (const std::wstring& name : replaced)
            if (_wcsnicmp(entry, name.c_str(), name.size()) == 0) keep = false;
        if (keep) block.insert(block.end(), entry, entry + wcslen(entry) + 1);
    }
    ::FreeEnvironmentStringsW(strings);
    for (const std::wstring& entry : added) block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    block.push_back(L'\0');
    return block;
}

std::vector<HWND> VisibleBoxesOf(DWORD processId) {
    BoxSearch search{processId, {}};
    ::EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring WindowText(HWND window) {
    wchar_t buffer[4096];
    DWORD_PTR length = 0;
    if (!::SendMessageTimeoutW(window, WM_GETTEXT, ARRAYSIZE(buffer), reinterpret_cast<LPARAM>(buffer), SMTO_BLOCK,
                               2000, &length))
        return std::wstring();
    return std::wstring(buffer, static_cast<size_t>(length));
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
