#include "support/thread.h"
#include "support/thread_leave_win32.h"

#include <windows.h>

#include <cerrno>
#include <new>

struct LibThread {
    HANDLE handle = nullptr;
    DWORD id = 0;
    LibThreadBody body = nullptr;
    void* arg = nullptr;
    LeavingStart start; // its event (start.left) is set as the thread's last act
};

namespace {

DWORD WINAPI run(void* record)
{
    auto* t = static_cast<LibThread*>(record);
    t->body(t->arg);
    return 0;
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
    t->start.body = run;
    t->start.arg = t;
    t->start.left = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (t->start.left)
        t->handle = leaving_thread_create(&t->start, 0, 0, &t->id);
    if (!t->handle) {
        const DWORD error = GetLastError();
        if (t->start.left)
            CloseHandle(t->start.left);
        delete t;
        SetLastError(error);
        errno = EAGAIN; // as the runtime's thread start reports it
        return nullptr;
    }
    return t;
}

bool thread_wait_left(LibThread* t, unsigned ms)
{
    return WaitForSingleObject(t->start.left, ms) == WAIT_OBJECT_0;
}

void thread_forget(LibThread* t)
{
    CloseHandle(t->handle); // the thread is never waited for by its handle
    if (WaitForSingleObject(t->start.left, 0) == WAIT_OBJECT_0) {
        CloseHandle(t->start.left);
        delete t;
    }
    // A thread that still runs keeps its record (and its event) to the end of the process.
}

bool thread_is_current(const LibThread* t)
{
    return t->id == GetCurrentThreadId();
}
