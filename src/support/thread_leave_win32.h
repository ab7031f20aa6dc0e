// Threads whose last acts run outside the library's code. A library thread says that it has left
// by setting an event, and the library may be unloaded as soon as it is set; but a thread that set
// it from the library's own code would still have to return through that code, which may be
// unmapped by then (a host's FreeLibrary while the thread was between the two). So the body runs
// from a few instructions in memory of its own, which the library never frees: they call the body,
// set the event and end the thread, and nothing of the library runs after the event.
#pragma once

#include <windows.h>

#include <cstddef>

// What the trampoline reads, all before it sets the event: the record may be gone after that.
struct LeavingStart {
    LPTHREAD_START_ROUTINE body = nullptr;
    void* arg = nullptr;
    HANDLE left = nullptr;         // set as the thread's last act
    void* set_event = nullptr;     // filled in by leaving_thread_create
    void* exit_thread = nullptr;
};
static_assert(offsetof(LeavingStart, arg) == sizeof(void*) && offsetof(LeavingStart, left) == 2 * sizeof(void*) &&
                  offsetof(LeavingStart, set_event) == 3 * sizeof(void*) &&
                  offsetof(LeavingStart, exit_thread) == 4 * sizeof(void*),
              "the trampoline reads the fields at these offsets");

// The last error of a thread start without the trampoline's page: the system refused memory that
// may run (a policy against code made at run time, or no address space). Application-defined
// (bit 29), so that it is never taken for a shortage of memory.
constexpr DWORD LEAVING_ERROR_NO_CODE_PAGE = 0x20000001;

// CreateThread for start->body(start->arg); the thread's exit code is the body's result. The
// start record must stay until start->left is set. Null, with the last error, on failure.
HANDLE leaving_thread_create(LeavingStart* start, SIZE_T stack_size, DWORD flags, DWORD* id);

// The trampoline copied into a page of its own that `protect` (VirtualProtect, or a test's) makes
// executable; made once per load. When the page is refused: one line on the console, null and
// LEAVING_ERROR_NO_CODE_PAGE as the last error.
using LeavingPageProtect = BOOL(WINAPI*)(LPVOID page, SIZE_T size, DWORD protection, PDWORD before);
void* leaving_code_page(LeavingPageProtect protect);
