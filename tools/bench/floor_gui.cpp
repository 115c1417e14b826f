// The benchmark's GUI floor: a program built like remediate-*.exe that also
// imports user32, as the program did before it loaded user32 only for a box,
// and returns at once. The calls below never run; they are there so that the
// loader maps the same DLLs.
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
