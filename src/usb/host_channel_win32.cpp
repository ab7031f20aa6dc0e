#include "usb/host_channel.h"

#include "support/console.h"

#include <algorithm>

namespace {

constexpr DWORD STEP_TICK_MS = 25;       // a receive step without a pipe is ten of these
constexpr int STEP_TICKS = 10;
constexpr DWORD WAIT_FOR_BLOCK_MS = 50;  // the rest of an announced block is still arriving
constexpr DWORD AFTER_ANNOUNCE_MS = 75;

// The channel's own spinner, apart from the one of the other channels.
constexpr char SPINNER[] = "|/-\\";
std::atomic<int32_t> g_spinner{0};

void print_failure(const char* call, DWORD code)
{
    console_print(ConsoleStream::Out, "%s FAILED! LastError: %#x / %d.\n", call, static_cast<unsigned>(code),
                  static_cast<int>(code));
}

} // namespace

void HostCommandChannel::SetCallbacks(ReceiveCallback response, ReceiveCallback notification)
{
    mResponse = response;
    mNotification = notification;
}

void HostCommandChannel::DispatchToHost(const uint8_t* bytes, uint16_t length)
{
    if (!bytes || length == 0)
        return;
    if (msg_is_response(bytes[0])) {
        if (const ReceiveCallback response = mResponse) {
            ++mAnswered;
            response(bytes, length);
        }
    } else if (msg_is_notification(bytes[0])) {
        if (const ReceiveCallback notification = mNotification)
            notification(bytes, length);
    }
}

void HostCommandChannel::OnReceive(const uint8_t* data, uint16_t length)
{
    if (mDropping > 0) {
        mDropping -= std::min<uint32_t>(mDropping, length);
        return;
    }
    if (length < mToRead)
        console_print(ConsoleStream::Out, "\nXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX\n");
    mToRead = 0;
    ParseBlocks(data, length);
}

void HostCommandChannel::ParseBlocks(const uint8_t* data, uint16_t length)
{
    if (!data || length == 0)
        return;
    device_blocks_parse(data, length, [this](const uint8_t* message, uint16_t size) { DispatchToHost(message, size); });
}

void HostCommandChannel::OnPipeBroken()
{
    ClosePipe();
    mDisconnectedSteps = 0;
    mConnected = 0;
    mAnnounce = 0;
    DispatchToHost(USB_DISCONNECTED, sizeof USB_DISCONNECTED);
}

void HostCommandChannel::OnPipeConnected()
{
    mAnnounce = 1;
    mConnected = 1;
}

uint32_t HostCommandChannel::ThreadStep()
{
    if (mPipe == INVALID_HANDLE_VALUE) {
        if (Connect())
            return 0;
        console_print(ConsoleStream::Out, "\r%c", SPINNER[++g_spinner % 4]);
        // Commands sent meanwhile were dropped: each is answered, one per tick.
        for (int tick = 0; tick < STEP_TICKS; ++tick) {
            const uint32_t sent = mSent;
            // More answers than commands (say, a late answer to another process's command on pipe
            // 0): nothing is outstanding, so nothing is made up.
            if (static_cast<int32_t>(mAnswered - sent) > 0)
                mAnswered = sent;
            if (mAnswered != sent) {
                const uint8_t no_answer = USB_NO_ANSWER;
                DispatchToHost(&no_answer, 1);
            }
            if (!StoppableSleep(STEP_TICK_MS))
                return 0;
        }
        if (++mDisconnectedSteps > USB_DISCONNECTED_STEPS) {
            mDisconnectedSteps = 0;
            DispatchToHost(USB_DISCONNECTED, sizeof USB_DISCONNECTED);
        }
        return 0;
    }
    if (mAnnounce.exchange(0) == 1) {
        DispatchToHost(USB_CONNECTED, sizeof USB_CONNECTED);
        if (!StoppableSleep(AFTER_ANNOUNCE_MS))
            return 0;
    }
    mThreadAsync.Reset();
    DWORD peeked = 0;
    DWORD available = 0;
    DWORD to_read = 0;
    if (!PeekNamedPipe(mPipe, mBuffer, DEVICE_BLOCK_HEADER, &peeked, &available, nullptr)) {
        if (const DWORD code = CheckIoResult(FALSE))
            print_failure("PeekNamedPipe", code);
    } else if (mDropping > 0) {
        // A block larger than the buffer is read and dropped in pieces, never parsed.
        to_read = std::min<DWORD>({available, mDropping, mBufferSize});
    } else if (peeked == DEVICE_BLOCK_HEADER) {
        const DWORD size = static_cast<DWORD>(device_block_size(mBuffer));
        if (size > mBufferSize) {
            mDropping = size;
            to_read = std::min<DWORD>(available, mBufferSize);
        } else if (available < size) {
            StoppableSleep(WAIT_FOR_BLOCK_MS);
            return 0;
        } else {
            to_read = size;
        }
    }
    mToRead = to_read;
    return ReadOnce(to_read);
}
