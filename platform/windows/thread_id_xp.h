// GetThreadId for Windows XP, which lacks it.
//
// GCC 13 and later build libgcc's win32 thread support on GetThreadId, which
// first came with Windows Vista (Server 2003 on the server side). An import of
// it makes Windows XP's loader refuse the whole program before it can show a
// word. The runtime reaches the function through its import pointer, which
// thread_id_xp.cpp defines, so the linker makes no import of it.
#pragma once

#include <windows.h>

namespace xp {

// The thread's ID from its basic information in ntdll, which every Windows NT
// has; 0 when it cannot be read, as GetThreadId answers.
DWORD ThreadIdFromBasicInformation(HANDLE thread);

// kernel32's GetThreadId where the system has it, ThreadIdFromBasicInformation
// otherwise.
DWORD WINAPI GetThreadId(HANDLE thread);

}  // namespace xp
