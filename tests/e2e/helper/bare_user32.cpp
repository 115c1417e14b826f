// A build of the program gone wrong, for the end-to-end suite: it loads user32
// by its bare name, so that a user32.dll beside it can stand in for Windows'
// own. The pilot kit's case "a user32.dll beside the program is not loaded"
// must fail on it.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using MessageBoxWFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
    const HMODULE user32 = LoadLibraryW(L"user32.dll");
    const auto messageBox = reinterpret_cast<MessageBoxWFunction>(
        reinterpret_cast<void*>(user32 ? GetProcAddress(user32, "MessageBoxW") : nullptr));
    return messageBox && messageBox(nullptr, L"user32 by its bare name", L"Desktop Remediation", MB_OK) ? 0 : 1;
}
