#include "support/thread_leave_win32.h"

#include "support/console.h"

#include <cstring>

namespace {

// The trampoline, entered as a thread's start routine with the LeavingStart as its argument.
#if (defined(_M_X64) || defined(__x86_64__)) && !defined(_M_ARM64EC)
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
#elif defined(_M_IX86) || defined(__i386__)
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
#else
#error "no trampoline for this architecture: a thread could not leave the library's code safely"
#endif

// One page per load of the library, never freed: a thread of an earlier load may still be in it.
LPTHREAD_START_ROUTINE trampoline()
{
    static const auto code = reinterpret_cast<LPTHREAD_START_ROUTINE>(leaving_code_page(VirtualProtect));
    return code;
}

} // namespace

void* leaving_code_page(LeavingPageProtect protect)
{
    void* page = VirtualAlloc(nullptr, sizeof TRAMPOLINE, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    DWORD before = 0;
    if (page) {
        std::memcpy(page, TRAMPOLINE, sizeof TRAMPOLINE);
        if (protect(page, sizeof TRAMPOLINE, PAGE_EXECUTE_READ, &before)) {
            FlushInstructionCache(GetCurrentProcess(), page, sizeof TRAMPOLINE);
            return page;
        }
    }
    const DWORD error = GetLastError();
    if (page)
        VirtualFree(page, 0, MEM_RELEASE);
    console_print(ConsoleStream::Err,
                  "ORMA_DLL: the system refused an executable page (error %lu): the library starts no threads\n",
                  static_cast<unsigned long>(error));
    SetLastError(LEAVING_ERROR_NO_CODE_PAGE);
    return nullptr;
}

HANDLE leaving_thread_create(LeavingStart* start, SIZE_T stack_size, DWORD flags, DWORD* id)
{
    const LPTHREAD_START_ROUTINE code = trampoline();
    if (!code) {
        SetLastError(LEAVING_ERROR_NO_CODE_PAGE);
        return nullptr;
    }
    const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    start->set_event = kernel32 ? reinterpret_cast<void*>(GetProcAddress(kernel32, "SetEvent")) : nullptr;
    start->exit_thread = kernel32 ? reinterpret_cast<void*>(GetProcAddress(kernel32, "ExitThread")) : nullptr;
    if (!start->set_event || !start->exit_thread) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    if (!start->body || !start->left) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateThread(nullptr, stack_size, code, start, flags, id);
}
