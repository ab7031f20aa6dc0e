// One overlapped operation (Windows only): the system's overlapped block with an event of its own,
// the byte count and the error codes of the operation.
//
// Every overlapped operation follows one pattern: Reset (a fresh event), start the operation with
// `overlapped` and `bytes_transferred`, then pass the start call's success flag to a Complete
// operation, or poll later.
#pragma once

#include <windows.h>

class AsyncIo {
public:
    AsyncIo() { Clear(); }
    ~AsyncIo() { CloseEvent(); }
    AsyncIo(const AsyncIo&) = delete;
    AsyncIo& operator=(const AsyncIo&) = delete;

    // Every word 0, the event handle invalid.
    void Clear();
    // Closes the event if there is one; the field keeps its value.
    void CloseEvent();
    // CloseEvent, Clear, then a new event: unnamed, manual reset, initially signalled.
    void Reset();
    // Asks whether the operation has finished, without waiting.
    BOOL PollResult(HANDLE file);
    // A start error other than 0 and 997 (pending) is final without waiting: a write counts as done
    // when it is 23 (the system's CRC data error), a device control never does. Otherwise waits.
    // A bound other than INFINITE cancels an operation still under way after that many ms.
    BOOL CompleteIoControl(HANDLE file, BOOL started) { return Complete(file, started, false, INFINITE); }
    BOOL CompleteWrite(HANDLE file, BOOL started, DWORD bound_ms = INFINITE) { return Complete(file, started, true, bound_ms); }
    // Waits until the operation has finished. A stop request on a worker's thread, or the bound,
    // cancels it (CancelIoEx on this block only) and waits for the cancellation: the result is
    // then the operation's own, ERROR_OPERATION_ABORTED unless it had finished already.
    BOOL WaitResult(HANDLE file, DWORD bound_ms = INFINITE);

    OVERLAPPED overlapped;
    DWORD bytes_transferred;
    DWORD start_error;
    DWORD completion_error;

private:
    BOOL Complete(HANDLE file, BOOL started, bool write, DWORD bound_ms);
};
