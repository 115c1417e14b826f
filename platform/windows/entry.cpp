// The process starts here, in the GUI subsystem: no console opens.
#include "platform/platform.h"

#include <windows.h>

#include <cstdlib>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // A path on an empty removable drive then fails as an error instead of
    // raising Windows' "There is no disk in the drive" box, which would wait
    // where nobody may see it. The process's other error-mode bits are kept.
    ::SetErrorMode(::SetErrorMode(SEM_FAILCRITICALERRORS) | SEM_FAILCRITICALERRORS);
    return platform::RunMain();
}

// RunMain handles every failure the program raises, so terminate() is left for
// a fault in the program itself. That still ends the run as a failure, with
// the one status a deployment tool reads as one, and without the abort that
// libstdc++'s own handler would make, which prints to a console that a GUI
// program does not have and brings a 46 KB demangler along.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::_Exit(platform::ExitFailed); }
}  // namespace __gnu_cxx
