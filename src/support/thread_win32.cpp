#include "support/thread.h"

#include <windows.h>

#include <cerrno>
#include <new>

struct LibThread {
    HANDLE handle = nullptr;
    HANDLE left = nullptr; // set by the thread as its last act
    DWORD id = 0;
    LibThreadBody body = nullptr;
    void* arg = nullptr;
};

namespace {

// After the event is set nothing of the library's code runs on the thread but the return into
// the system, so the library may be unloaded at once. The record is not touched again.
DWORD WINAPI run(void* record)
{
    auto* t = static_cast<LibThread*>(record);
    t->body(t->arg);
    return SetEvent(t->left) ? 0 : 1;
}

} // namespace

LibThread* thread_start(LibThreadBody body, void* arg)
{
    auto* t = new (std::nothrow) LibThread;
    if (!t) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    t->body = body;
    t->arg = arg;
    t->left = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (t->left)
        t->handle = CreateThread(nullptr, 0, run, t, 0, &t->id);
    if (!t->handle) {
        const DWORD error = GetLastError();
        if (t->left)
            CloseHandle(t->left);
        delete t;
        SetLastError(error);
        errno = EAGAIN; // as the runtime's thread start reports it
        return nullptr;
    }
    return t;
}

bool thread_wait_left(LibThread* t, unsigned ms)
{
    return WaitForSingleObject(t->left, ms) == WAIT_OBJECT_0;
}

void thread_forget(LibThread* t)
{
    CloseHandle(t->handle); // the thread is never waited for by its handle
    if (WaitForSingleObject(t->left, 0) == WAIT_OBJECT_0) {
        CloseHandle(t->left);
        delete t;
    }
    // A thread that still runs keeps its record (and its event) to the end of the process.
}

bool thread_is_current(const LibThread* t)
{
    return t->id == GetCurrentThreadId();
}
