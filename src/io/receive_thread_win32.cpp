#include "io/receive_thread.h"

#include "io/trace.h"
#include "support/console.h"

#include <cstdlib>

namespace {

constexpr DWORD SELECT_SETTLE_MS = 150;

// One spinner for all channels of the process; it only picks the character shown.
constexpr char SPINNER[] = {'|', '/', '-', '\\'};
std::atomic<uint32_t> g_spinner{0};

void print_read_failure(DWORD code)
{
    console_print(ConsoleStream::Out, "ReadFile FAILED! LastError: %#x / %d.\n", static_cast<unsigned>(code),
                  static_cast<int>(code));
}

} // namespace

ReceiveThread::ReceiveThread(uint16_t buffer_size, bool auto_reconnect)
    : mTraceFlags(TRACE_HOST_TO_DEVICE | TRACE_DEVICE_TO_HOST), mAutoReconnect(auto_reconnect)
{
    if (buffer_size) {
        mBuffer = static_cast<uint8_t*>(std::malloc(buffer_size));
        if (mBuffer)
            mBufferSize = buffer_size;
    }
}

ReceiveThread::~ReceiveThread()
{
    StopThread();
    ClosePipe();
    std::free(mBuffer);
    mBuffer = nullptr;
    mBufferSize = 0;
    if (mTraceFlags & TRACE_METHODS)
        console_print(ConsoleStream::Out, "%s::~ReceiveThread()\n", mName);
}

uint32_t ReceiveThread::ThreadStep()
{
    if (mPipe == INVALID_HANDLE_VALUE) {
        if (!mAutoReconnect) {
            mThread.Stop(false); // this thread ends after this step
            return 0;
        }
        if (Connect())
            return 0;
        console_print(ConsoleStream::Progress, "\r%c", SPINNER[g_spinner++ % sizeof SPINNER]);
        StoppableSleep(static_cast<DWORD>(mReconnectInterval > 0 ? mReconnectInterval : RECONNECT_DEFAULT_MS));
        return 0;
    }
    mThreadAsync.Reset();
    if (!ReadyToRead())
        return 0;
    return ReadOnce(mBufferSize);
}

uint32_t ReceiveThread::ReadOnce(DWORD to_read)
{
    const HANDLE pipe = mPipe;
    BOOL started = FALSE;
    if (pipe != INVALID_HANDLE_VALUE)
        started = ReadFile(pipe, mBuffer, to_read, &mThreadAsync.bytes_transferred, &mThreadAsync.overlapped);
    else
        SetLastError(ERROR_INVALID_HANDLE);
    DWORD code = CheckIoResult(started);
    if (code != 0 && code != ERROR_IO_PENDING)
        print_read_failure(code);
    if (mPipe == INVALID_HANDLE_VALUE) {
        AfterReceive();
        return started;
    }
    const BOOL done = mThreadAsync.WaitResult(pipe);
    if (!done && !IsThreadRunning())
        return done; // the stop took the read: not a failure of the pipe
    code = CheckIoResult(done);
    if (code != 0) {
        ++mReadFailureCount;
        print_read_failure(code);
    } else {
        ++mReadCount;
        OnReceive(mBuffer, static_cast<uint16_t>(mThreadAsync.bytes_transferred));
    }
    AfterReceive();
    return done;
}

DWORD ReceiveThread::CountIoFailure(BOOL ok)
{
    if (ok)
        return 0;
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING)
        ++mIoErrorCount;
    return error;
}

HANDLE ReceiveThread::OpenPipe(uint8_t)
{
    return INVALID_HANDLE_VALUE;
}

BOOL ReceiveThread::Start(int32_t reconnect_interval_ms)
{
    const BOOL connected = Connect();
    mReconnectInterval = reconnect_interval_ms;
    StartThread();
    return connected;
}

DWORD ReceiveThread::CheckIoResult(BOOL)
{
    return 0;
}

void ReceiveThread::OnReceive(const uint8_t*, uint16_t) {}

void ReceiveThread::ClosePipe()
{
    if (mTraceFlags & TRACE_METHODS)
        console_print(ConsoleStream::Out, "%s::ClosePipe()\n", mName);
    const HANDLE pipe = mPipe.exchange(INVALID_HANDLE_VALUE);
    if (pipe != INVALID_HANDLE_VALUE)
        CloseHandle(pipe);
}

BOOL ReceiveThread::Connect()
{
    if (mTraceFlags & TRACE_METHODS)
        console_print(ConsoleStream::Out, "%s::Connect()\n", mName);
    ClosePipe();
    mPipe = OpenPipe(mPipeNumber);
    return mPipe != INVALID_HANDLE_VALUE;
}

BOOL ReceiveThread::SelectPipe(uint8_t pipe_number)
{
    if (pipe_number >= mPipeCount)
        return FALSE;
    mPipeNumber = pipe_number;
    const bool ran = IsThreadRunning();
    ClosePipe();
    if (ran) {
        StopThread();
        StoppableSleep(SELECT_SETTLE_MS);
    }
    const BOOL connected = Connect();
    if (ran) {
        StartThread();
        StoppableSleep(SELECT_SETTLE_MS);
    }
    return connected;
}

BOOL ReceiveThread::PipeIoControl(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned)
{
    const HANDLE pipe = mPipe;
    if (pipe == INVALID_HANDLE_VALUE)
        return FALSE;
    mDrvAsync.Reset();
    const BOOL started = mIoControl(pipe, code, const_cast<void*>(in), in_size, out, out_size,
                                    &mDrvAsync.bytes_transferred, &mDrvAsync.overlapped);
    const BOOL ok = mDrvAsync.CompleteIoControl(pipe, started);
    if (returned)
        *returned = mDrvAsync.bytes_transferred;
    return ok;
}

BOOL ReceiveThread::PipeWrite(const void* data, DWORD length, DWORD* written, DWORD bound_ms)
{
    const HANDLE pipe = mPipe;
    if (pipe == INVALID_HANDLE_VALUE)
        return FALSE;
    mDrvAsync.Reset();
    const BOOL started = WriteFile(pipe, data, length, &mDrvAsync.bytes_transferred, &mDrvAsync.overlapped);
    const BOOL ok = mDrvAsync.CompleteWrite(pipe, started, bound_ms);
    if (written)
        *written = mDrvAsync.bytes_transferred;
    return ok;
}
