// What the Windows side's files share: an owner for a handle, and the look-up
// of what older releases lack.
#pragma once

#include <windows.h>

namespace platform {

// Closes the handle it holds, unless it gave it away.
struct HandleOwner {
    HANDLE handle;
    HandleOwner(const HandleOwner&) = delete;
    HandleOwner& operator=(const HandleOwner&) = delete;
    ~HandleOwner() {
        if (handle != INVALID_HANDLE_VALUE && handle) ::CloseHandle(handle);
    }
    HANDLE Release() {
        const HANDLE given = handle;
        handle = nullptr;
        return given;
    }
};

// A kernel32 function that not every release has; null where it is missing.
template <typename Function>
Function Kernel32Procedure(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
}

}  // namespace platform
