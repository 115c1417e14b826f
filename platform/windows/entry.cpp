// The process starts here, in the GUI subsystem: no console opens.
#include "platform/platform.h"

#include <windows.h>

#include <cstdlib>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return platform::RunMain(); }

// RunMain handles every failure the program raises, so terminate() is left for
// a fault in the program itself. libstdc++'s own handler would print to a
// console that a GUI program does not have, and brings a 46 KB demangler along.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
