// The benchmark's floor without graphics: built like remediate-*.exe, importing
// only from kernel32, advapi32 and msvcrt, and returning at once. The calls
// below never run; they are there so that the loader maps the same DLLs as a
// run of the program that shows no box.
#include <windows.h>

#include <cstdlib>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (GetCurrentProcessId() == 0) {
        RegCloseKey(HKEY_CURRENT_USER);
        std::abort();
    }
    return 0;
}
