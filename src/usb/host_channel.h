// The process's client end of pipe 0 of the owner process (Windows only), through which the host
// interface talks to the receiver in the USB modes. Host messages go out on the pipe as they are;
// the blocks that come back are split into messages and handed to the response or the
// notification callback by class. While the pipe is down the channel keeps the host's one-command-
// at-a-time flow going by answering unanswered commands itself with 0x85, and it tells the host of
// the pipe's state with notifications.
#pragma once

#include "support/message.h"
#include "usb/pipe_client.h"

#include <atomic>
#include <cstdint>

// The messages the channel makes up.
constexpr uint8_t USB_NO_ANSWER = MSG_NO_ANSWER;
inline constexpr const uint8_t (&USB_CONNECTED)[6] = MSG_LINK_UP;
inline constexpr const uint8_t (&USB_DISCONNECTED)[6] = MSG_LINK_DOWN;
// Receive steps without a pipe after which the disconnected notification is repeated.
constexpr int32_t USB_DISCONNECTED_STEPS = 40;

class HostCommandChannel : public NamedPipeClientCommandChannel {
public:
    // The receive step: reconnects (answering unanswered commands) while there is no pipe; else
    // announces a new connection, and reads whole blocks as they arrive.
    uint32_t ThreadStep() override;
    // What the receive step read: the pieces of a block too large for the buffer are dropped, a
    // read shorter than its block is said on the console, and the rest goes to ParseBlocks.
    void OnReceive(const uint8_t* data, uint16_t length) override;
    // Every message of the blocks goes to DispatchToHost.
    void ParseBlocks(const uint8_t* data, uint16_t length);
    void OnPipeBroken() override;
    void OnPipeConnected() override;

    // Hands one message to the callback of its class: responses (counted as answered) and
    // notifications; messages to the module are dropped.
    void DispatchToHost(const uint8_t* bytes, uint16_t length);
    void SetCallbacks(ReceiveCallback response, ReceiveCallback notification);
    // A message the host's send function finished with, written or dropped.
    void CountSent() { ++mSent; }
    bool IsConnected() const { return mConnected != 0; }

private:
    std::atomic<uint8_t> mAnnounce{0};
    std::atomic<uint8_t> mConnected{0};
    int32_t mDisconnectedSteps = 0;
    std::atomic<uint32_t> mSent{0};
    std::atomic<uint32_t> mAnswered{0};
    // Bytes of a block too large for the buffer that are still to be read and dropped.
    uint32_t mDropping = 0;
    DWORD mToRead = 0; // what the current step's read asked for
    std::atomic<ReceiveCallback> mResponse{nullptr};
    std::atomic<ReceiveCallback> mNotification{nullptr};
};
