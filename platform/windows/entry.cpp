// The process starts here, in the GUI subsystem: no console opens.
#include "platform/platform.h"

#include <windows.h>

#include <cstdlib>
#include <new>

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

// The standard library's own failures. libstdc++ raises them as
// std::logic_error and its kin, whose code brings a second string class (the
// copy-on-write one) and a random-device reader along: about a third of the
// executable. Every one of them is defined here, so that its own file is never
// linked. A string or a table grown past what the heap can give is the
// out-of-memory failure; the rest (a position past a string's end and the
// like) no input reaches, and are the internal failure that RunMain reports
// for anything it does not know. Either ends the run with status 1.
namespace {
[[noreturn]] void InternalFailure() {
    throw platform::RunTimeFailure{L"An internal step", std::wstring(), ERROR_INTERNAL_ERROR};
}
}  // namespace

namespace std {
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_alloc(); }
void __throw_length_error(const char*) { throw bad_alloc(); }
void __throw_bad_cast() { InternalFailure(); }
void __throw_bad_typeid() { InternalFailure(); }
void __throw_bad_exception() { InternalFailure(); }
void __throw_logic_error(const char*) { InternalFailure(); }
void __throw_domain_error(const char*) { InternalFailure(); }
void __throw_invalid_argument(const char*) { InternalFailure(); }
void __throw_out_of_range(const char*) { InternalFailure(); }
void __throw_out_of_range_fmt(const char*, ...) { InternalFailure(); }
void __throw_runtime_error(const char*) { InternalFailure(); }
void __throw_range_error(const char*) { InternalFailure(); }
void __throw_overflow_error(const char*) { InternalFailure(); }
void __throw_underflow_error(const char*) { InternalFailure(); }
}  // namespace std
