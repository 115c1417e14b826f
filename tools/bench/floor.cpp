// The benchmark's floor: a GUI program built like remediate-*.exe, importing
// from the same system DLLs, that returns at once. The calls below never run;
// they are there so that the loader maps the same DLLs.
#include <windows.h>

#include <cstdlib>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (GetCurrentProcessId() == 0) {
        MessageBoxW(nullptr, L"", L"", MB_OK);
        RegCloseKey(HKEY_CURRENT_USER);
        std::abort();
    }
    return 0;
}
