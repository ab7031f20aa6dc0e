#include "io/async_io.h"

#include "io/worker_thread.h"

void AsyncIo::Clear()
{
    overlapped = OVERLAPPED{};
    overlapped.hEvent = INVALID_HANDLE_VALUE;
    bytes_transferred = 0;
    start_error = 0;
    completion_error = 0;
}

void AsyncIo::CloseEvent()
{
    if (overlapped.hEvent && overlapped.hEvent != INVALID_HANDLE_VALUE)
        CloseHandle(overlapped.hEvent);
}

void AsyncIo::Reset()
{
    CloseEvent();
    Clear();
    overlapped.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
}

BOOL AsyncIo::PollResult(HANDLE file)
{
    const BOOL ok = GetOverlappedResult(file, &overlapped, &bytes_transferred, FALSE);
    if (!ok)
        completion_error = GetLastError();
    return ok;
}

BOOL AsyncIo::Complete(HANDLE file, BOOL started, bool write, DWORD bound_ms)
{
    if (!started)
        start_error = GetLastError();
    if (start_error != 0 && start_error != ERROR_IO_PENDING)
        return write && start_error == ERROR_CRC;
    return WaitResult(file, bound_ms);
}

BOOL AsyncIo::WaitResult(HANDLE file, DWORD bound_ms)
{
    const HANDLE stop = WorkerThread::CurrentStopEvent();
    if ((stop || bound_ms != INFINITE) && overlapped.hEvent && overlapped.hEvent != INVALID_HANDLE_VALUE) {
        const HANDLE events[2] = {overlapped.hEvent, stop};
        if (WaitForMultipleObjects(stop ? 2 : 1, events, FALSE, bound_ms) != WAIT_OBJECT_0)
            CancelIoEx(file, &overlapped);
    }
    const BOOL ok = GetOverlappedResult(file, &overlapped, &bytes_transferred, TRUE);
    if (!ok)
        completion_error = GetLastError();
    return ok;
}
