#include "thread_id_xp.h"

namespace xp {
namespace {

// THREAD_BASIC_INFORMATION and NtQueryInformationThread, which the SDK does
// not declare.
struct ThreadBasicInformation {
    LONG exitStatus;
    PVOID tebBaseAddress;
    struct {
        HANDLE uniqueProcess;
        HANDLE uniqueThread;
    } clientId;
    ULONG_PTR affinityMask;
    LONG priority;
    LONG basePriority;
};
constexpr int ThreadBasicInformationClass = 0;
using NtQueryInformationThreadFunction = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
using GetThreadIdFunction = DWORD(WINAPI*)(HANDLE);

// Both DLLs are in every process from its start, so nothing is loaded here.
FARPROC SystemProcedure(const wchar_t* module, const char* name) {
    const HMODULE loaded = ::GetModuleHandleW(module);
    return loaded ? ::GetProcAddress(loaded, name) : nullptr;
}

template <typename Function>
Function As(FARPROC procedure) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(procedure));
}

}  // namespace

DWORD ThreadIdFromBasicInformation(HANDLE thread) {
    const auto query = As<NtQueryInformationThreadFunction>(SystemProcedure(L"ntdll.dll", "NtQueryInformationThread"));
    ThreadBasicInformation information{};
    if (!query || query(thread, ThreadBasicInformationClass, &information, sizeof(information), nullptr) < 0) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(information.clientId.uniqueThread));
}

DWORD WINAPI GetThreadId(HANDLE thread) {
    const auto own = As<GetThreadIdFunction>(SystemProcedure(L"kernel32.dll", "GetThreadId"));
    return own ? own(thread) : ThreadIdFromBasicInformation(thread);
}

}  // namespace xp

// The import pointer that libgcc calls through, under the name the import
// library would give it (stdcall-decorated on x86).
extern "C" {
#if defined(__i386__)
DWORD(WINAPI* ImportedGetThreadId)(HANDLE) __asm__("__imp__GetThreadId@4") = xp::GetThreadId;
#else
DWORD(WINAPI* ImportedGetThreadId)(HANDLE) __asm__("__imp_GetThreadId") = xp::GetThreadId;
#endif
}
