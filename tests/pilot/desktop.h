// What the pilot kit and the end-to-end helper share: an owner for every
// kind of Windows handle, environment blocks, and another process's message
// boxes, read and answered as a user would.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace desktop {

// Closes what it holds on every way out; nothing (0) is never closed.
template <typename T, auto close>
class Owned {
public:
    Owned() = default;
    explicit Owned(T value) : value_(value) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Reset(); }

    T Get() const { return value_; }
    // For a function that hands its result back through a pointer.
    T* Out() {
        Reset();
        return &value_;
    }
    void Reset(T value = T()) {
        if (value_) close(value_);
        value_ = value;
    }
    explicit operator bool() const { return value_ != T(); }

private:
    T value_ = T();
};

using Handle = Owned<HANDLE, &::CloseHandle>;
using Key = Owned<HKEY, &::RegCloseKey>;
using LocalMemory = Owned<HLOCAL, &::LocalFree>;

// CreateFileW and its kind answer INVALID_HANDLE_VALUE, not 0, for no handle.
inline HANDLE Opened(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }

// This process's environment less the variables named in `replaced` ("NAME="
// each), plus `added` ("NAME=VALUE" each), as CreateProcessW takes it.
std::vector<wchar_t> EnvironmentWith(const std::vector<std::wstring>& replaced, const std::vector<std::wstring>& added);

// The message boxes (dialogs of class #32770) that the process shows on this desktop.
std::vector<HWND> VisibleBoxesOf(DWORD processId);
std::wstring WindowText(HWND window);
// A box's text: that of its static controls.
std::wstring BoxText(HWND box);
void PressOk(HWND box);

}  // namespace desktop
