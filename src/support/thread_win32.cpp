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

// The left event, set as the thread's last act, tells it while the loader lock is held (a thread
// cannot finish exiting then). The handle tells it at process exit, when the system has ended the
// thread before it could set the event, and after a termination.
bool thread_wait_left(LibThread* t, unsigned ms)
{
    const HANDLE either[2] = {t->start.left, t->handle};
    return WaitForMultipleObjects(2, either, FALSE, ms) < WAIT_OBJECT_0 + 2;
}

void thread_forget(LibThread* t)
{
    const bool left = thread_wait_left(t, 0);
    CloseHandle(t->handle);
    if (left) {
        CloseHandle(t->start.left);
        delete t;
    }
    // A thread that still runs keeps its record (and its event) to the end of the process.
}

bool thread_is_current(const LibThread* t)
{
    return t->id == GetCurrentThreadId();
}

bool thread_terminate(LibThread* t, unsigned long exit_code)
{
    return TerminateThread(t->handle, exit_code) != FALSE;
}

unsigned long thread_system_id(const LibThread* t)
{
    return t->id;
}
