// The process starts here, in the GUI subsystem: no console opens.
#include "platform/platform.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return platform::RunMain(); }
