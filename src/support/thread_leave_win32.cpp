#include "support/thread_leave_win32.h"

#include <cstring>

namespace {

// The trampoline, entered as a thread's start routine with the LeavingStart as its argument.
#if defined(_WIN64)
// rcx = start; on entry rsp is 8 past a multiple of 16.
constexpr unsigned char TRAMPOLINE[] = {
    0x48, 0x83, 0xEC, 0x28, // sub  rsp, 40         shadow space, stack aligned
    0x48, 0x89, 0xCB,       // mov  rbx, rcx        rbx, rsi, rdi: kept by the callees
    0x48, 0x8B, 0x4B, 0x08, // mov  rcx, [rbx+8]    arg
    0xFF, 0x13,             // call [rbx]           body(arg)
    0x89, 0xC7,             // mov  edi, eax        its result
    0x48, 0x8B, 0x73, 0x20, // mov  rsi, [rbx+32]   ExitThread, read before the event
    0x48, 0x8B, 0x4B, 0x10, // mov  rcx, [rbx+16]   left
    0xFF, 0x53, 0x18,       // call [rbx+24]        SetEvent(left)
    0x89, 0xF9,             // mov  ecx, edi
    0xFF, 0xD6,             // call rsi             ExitThread(result)
    0xCC,                   // int3
};
#else
// [esp+4] = start; the body and the system functions are __stdcall.
constexpr unsigned char TRAMPOLINE[] = {
    0x8B, 0x5C, 0x24, 0x04, // mov  ebx, [esp+4]
    0xFF, 0x73, 0x04,       // push dword [ebx+4]   arg
    0xFF, 0x13,             // call [ebx]           body(arg)
    0x89, 0xC7,             // mov  edi, eax        its result
    0x8B, 0x73, 0x10,       // mov  esi, [ebx+16]   ExitThread, read before the event
    0xFF, 0x73, 0x08,       // push dword [ebx+8]   left
    0xFF, 0x53, 0x0C,       // call [ebx+12]        SetEvent(left)
    0x57,                   // push edi
    0xFF, 0xD6,             // call esi             ExitThread(result)
    0xCC,                   // int3
};
#endif

// One page per load of the library, never freed: a thread of an earlier load may still be in it.
LPTHREAD_START_ROUTINE trampoline()
{
    static LPTHREAD_START_ROUTINE code = [] {
        void* page = VirtualAlloc(nullptr, sizeof TRAMPOLINE, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!page)
            return LPTHREAD_START_ROUTINE{};
        std::memcpy(page, TRAMPOLINE, sizeof TRAMPOLINE);
        DWORD before = 0;
        if (!VirtualProtect(page, sizeof TRAMPOLINE, PAGE_EXECUTE_READ, &before))
            return LPTHREAD_START_ROUTINE{};
        FlushInstructionCache(GetCurrentProcess(), page, sizeof TRAMPOLINE);
        return reinterpret_cast<LPTHREAD_START_ROUTINE>(page);
    }();
    return code;
}

} // namespace

HANDLE leaving_thread_create(LeavingStart* start, SIZE_T stack_size, DWORD flags, DWORD* id)
{
    const LPTHREAD_START_ROUTINE code = trampoline();
    const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    start->set_event = kernel32 ? reinterpret_cast<void*>(GetProcAddress(kernel32, "SetEvent")) : nullptr;
    start->exit_thread = kernel32 ? reinterpret_cast<void*>(GetProcAddress(kernel32, "ExitThread")) : nullptr;
    if (!code || !start->set_event || !start->exit_thread || !start->body || !start->left) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return CreateThread(nullptr, stack_size, code, start, flags, id);
}
