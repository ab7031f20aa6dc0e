// The driver pipe channel (Windows only): the base of every device-side channel. It owns one
// file handle, opened by the derived class (a device pipe or a named pipe), and a receive thread
// that reads the handle with overlapped I/O, hands every completed read to OnReceive and
// reconnects by itself when the handle is lost. It also writes and sends device-control requests
// on the same handle.
#pragma once

#include "io/async_io.h"
#include "io/worker_thread.h"

#include <atomic>
#include <cstdint>

constexpr int32_t RECONNECT_DEFAULT_MS = 300; // the reconnect interval when none is set

class ReceiveThread : public WorkerThread {
public:
    ReceiveThread(uint16_t buffer_size, bool auto_reconnect);
    // Stops the thread first, then closes the pipe and gives the buffer back.
    ~ReceiveThread();

    // Slots 1 to 3 are WorkerThread's; this class appends slots 4 to 9.
    void OnThreadStart() override {}
    // The receive step: reconnects while there is no pipe, else reads once.
    uint32_t ThreadStep() override;
    void OnThreadEnd() override {}
    // Opens the pipe or device for overlapped I/O; the base has nothing to open.
    virtual HANDLE OpenPipe(uint8_t pipe_number);
    // Connect, keep the interval, start the thread (also when Connect failed); Connect's result.
    virtual BOOL Start(int32_t reconnect_interval_ms);
    virtual BOOL ReadyToRead() { return TRUE; }
    // 0 for success, 997 for a pending operation, else the failure's code (the base: always 0).
    // Derived classes count failures in mIoErrorCount and close the pipe.
    virtual DWORD CheckIoResult(BOOL ok);
    // One completed read; the buffer is read into again once this returns.
    virtual void OnReceive(const uint8_t* data, uint16_t length);
    virtual uint32_t AfterReceive() { return 0; }

    void SetTraceFlags(uint32_t mask) { mTraceFlags = mask; }
    void ClosePipe();
    BOOL Connect();
    // Switches to another pipe number below the pipe count, restarting a running thread around it.
    BOOL SelectPipe(uint8_t pipe_number);
    // Without a pipe these fail and leave *returned / *written untouched; the last error stays
    // as the failed call left it.
    BOOL PipeIoControl(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned);
    // A write still under way after bound_ms is cancelled and fails.
    BOOL PipeWrite(const void* data, DWORD length, DWORD* written, DWORD bound_ms = INFINITE);

    HANDLE PipeHandle() const { return mPipe; }
    uint32_t ReadCount() const { return mReadCount; }
    uint32_t IoErrorCount() const { return mIoErrorCount; }
    uint32_t ReadFailureCount() const { return mReadFailureCount; }

protected:
    // For the derived CheckIoResult: 0 for success, else the last error; every failure other than
    // a pending operation is counted as an I/O error.
    DWORD CountIoFailure(BOOL ok);
    // Reads at most `to_read` bytes into the buffer and waits for them, as the receive step does:
    // failures are printed and counted, a completed read goes to OnReceive, and AfterReceive ends
    // every attempt. A pipe closed meanwhile makes the read fail as on a closed handle.
    uint32_t ReadOnce(DWORD to_read);

    const char* mName = "ReceiveThread A";
    uint32_t mTraceFlags;
    std::atomic<uint32_t> mReadCount{0};
    std::atomic<uint32_t> mIoErrorCount{0};
    std::atomic<uint32_t> mReadFailureCount{0};
    uint8_t* mBuffer = nullptr;
    uint16_t mBufferSize = 0;
    BOOL mAutoReconnect;
    int32_t mReconnectInterval = 0;
    std::atomic<HANDLE> mPipe{INVALID_HANDLE_VALUE};
    AsyncIo mDrvAsync;    // writes and device-control requests
    // How device-control requests reach the handle: the system's call, or a driver's table.
    using IoControlFn = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    IoControlFn mIoControl = DeviceIoControl;
    AsyncIo mThreadAsync; // the receive thread's reads
    uint8_t mPipeNumber = 0;
    uint8_t mPipeCount = 1;
};
