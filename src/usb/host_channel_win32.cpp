#include "usb/host_channel.h"

#include "capture/capture.h"
#include "support/console.h"

namespace {

constexpr DWORD STEP_MS = 250; // a receive step without a pipe
constexpr DWORD AFTER_ANNOUNCE_MS = 75;
constexpr DWORD SEND_BOUND_MS = 1000; // the pipes' default time-out

// The channel's own spinner, apart from the one of the other channels.
constexpr char SPINNER[] = "|/-\\";
std::atomic<int32_t> g_spinner{0};

void print_failure(const char* call, DWORD code)
{
    console_print(ConsoleStream::Out, "%s FAILED! LastError: %#x / %d.\n", call, static_cast<unsigned>(code),
                  static_cast<int>(code));
}

} // namespace

HostCommandChannel::HostCommandChannel() : mWake(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

HostCommandChannel::~HostCommandChannel()
{
    StopThread(); // the step waits on mWake
    if (mWake)
        CloseHandle(mWake);
}

void HostCommandChannel::SetCallbacks(ReceiveCallback response, ReceiveCallback notification, void (*lost)(),
                                      void (*up)())
{
    mResponse = response;
    mNotification = notification;
    mLost = lost;
    mUp = up;
}

void HostCommandChannel::Hand(const uint8_t* bytes, uint16_t length)
{
    if (msg_is_response(bytes[0])) {
        if (const ReceiveCallback response = mResponse)
            response(bytes, length);
    } else if (msg_is_notification(bytes[0])) {
        if (const ReceiveCallback notification = mNotification)
            notification(bytes, length);
    }
}

void HostCommandChannel::HandMadeUp(const uint8_t* bytes, uint16_t length)
{
    capture_message(orma_capture::TO_HOST, orma_capture::MADE_UP, bytes, length);
    Hand(bytes, length);
}

void HostCommandChannel::DispatchToHost(const uint8_t* bytes, uint16_t length)
{
    if (!bytes || length == 0)
        return;
    capture_message(orma_capture::TO_HOST, orma_capture::FROM_LINK, bytes, length);
    Hand(bytes, length);
}

bool HostCommandChannel::Send(const uint8_t* bytes, uint16_t length)
{
    std::unique_lock hold(mLock);
    if (!mConnected)
        return false;
    if (PipeWrite(bytes, length, nullptr, SEND_BOUND_MS))
        return true;
    mBreak = true;
    hold.unlock();
    SetEvent(mWake); // the channel's thread gives the pipe up
    return false;
}

void HostCommandChannel::Close()
{
    {
        const std::lock_guard hold(mLock);
        ClosePipe();
        mConnected = false;
    }
    mAnnounce = 0;
}

void HostCommandChannel::OnReceive(const uint8_t* data, uint16_t length)
{
    if (mTooLong) { // the last part of a message longer than any block
        mTooLong = false;
        ++mDroppedMessages;
        return;
    }
    ParseBlocks(data, length);
}

void HostCommandChannel::ParseBlocks(const uint8_t* data, uint16_t length)
{
    if (!data || length == 0)
        return;
    const int taken =
        device_blocks_parse(data, length, [this](const uint8_t* message, uint16_t size) { DispatchToHost(message, size); });
    if (length - taken >= DEVICE_BLOCK_HEADER) { // a header announced more than its message holds
        ++mDroppedMessages;
        console_print(ConsoleStream::Out, "\nXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX\n");
    }
}

void HostCommandChannel::EndRead()
{
    if (!mReading)
        return;
    // The system writes into the buffer and the overlapped block until the read has ended.
    const HANDLE pipe = mPipe;
    CancelIoEx(pipe, &mThreadAsync.overlapped);
    DWORD ignored = 0;
    GetOverlappedResult(pipe, &mThreadAsync.overlapped, &ignored, TRUE);
    mReading = false;
}

void HostCommandChannel::OnPipeBroken()
{
    EndRead();
    {
        const std::lock_guard hold(mLock);
        ClosePipe();
        mConnected = false;
        mBreak = false;
    }
    mDisconnectedSteps = 0;
    mAnnounce = 0;
    if (void (*lost)() = mLost)
        lost();
    HandMadeUp(USB_DISCONNECTED, sizeof USB_DISCONNECTED);
}

void HostCommandChannel::OnPipeConnected()
{
    {
        const std::lock_guard hold(mLock);
        mConnected = true;
        mBreak = false;
    }
    mReading = false;
    mTooLong = false;
    mAnnounce = 1;
}

uint32_t HostCommandChannel::ThreadStep()
{
    if (mPipe == INVALID_HANDLE_VALUE) {
        if (Connect())
            return 0;
        console_print(ConsoleStream::Progress, "\r%c", SPINNER[++g_spinner % 4]);
        if (!StoppableSleep(STEP_MS))
            return 0;
        if (++mDisconnectedSteps > USB_DISCONNECTED_STEPS) {
            mDisconnectedSteps = 0;
            HandMadeUp(USB_DISCONNECTED, sizeof USB_DISCONNECTED);
        }
        return 0;
    }
    if (mAnnounce.exchange(0) == 1) {
        HandMadeUp(USB_CONNECTED, sizeof USB_CONNECTED);
        // The host hears that the pipe is up before a start that waits for it goes on.
        if (void (*up)() = mUp)
            up();
        if (!StoppableSleep(AFTER_ANNOUNCE_MS))
            return 0;
    }
    return ReadStep();
}

uint32_t HostCommandChannel::ReadStep()
{
    const HANDLE pipe = mPipe;
    if (!mReading) {
        mThreadAsync.Reset();
        if (!ReadFile(pipe, mBuffer, mBufferSize, nullptr, &mThreadAsync.overlapped) && GetLastError() != ERROR_IO_PENDING &&
            GetLastError() != ERROR_MORE_DATA) {
            print_failure("ReadFile", CheckIoResult(FALSE)); // the pipe breaks
            AfterReceive();
            return 0;
        }
        mReading = true;
    }
    const HANDLE events[2] = {mThreadAsync.overlapped.hEvent, mWake};
    const DWORD got = StoppableWait(2, events, INFINITE);
    if (got == WAIT_OBJECT_0 + 1) { // the read goes on, unless a write failed
        bool give_up = false;
        {
            const std::lock_guard hold(mLock);
            give_up = mBreak;
        }
        if (give_up) {
            EndRead();
            ++mIoErrorCount;
            OnPipeBroken();
        }
        return 0;
    }
    if (got != WAIT_OBJECT_0) { // asked to stop
        EndRead();
        return 0;
    }
    mReading = false;
    DWORD bytes = 0;
    const BOOL ok = GetOverlappedResult(pipe, &mThreadAsync.overlapped, &bytes, FALSE);
    if (!ok && GetLastError() == ERROR_MORE_DATA) {
        mTooLong = true; // the rest of the message follows, and goes with this part
    } else if (!ok) {
        ++mReadFailureCount;
        print_failure("ReadFile", CheckIoResult(FALSE));
    } else {
        ++mReadCount;
        OnReceive(mBuffer, static_cast<uint16_t>(bytes));
    }
    AfterReceive();
    return ok;
}
