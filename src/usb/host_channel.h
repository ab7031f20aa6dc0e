// The process's client end of pipe 0 of the owner process (Windows only), through which the host
// interface talks to the receiver in the USB modes. Host messages go out on the pipe as they are;
// each pipe message that comes back (one block as the owner forwards it) is split into messages,
// handed to the response or the notification callback by class. The channel reports facts only:
// whether a write went out, and that the pipe went down (the host interface answers the
// commands); the pipe's state reaches the host as notifications.
#pragma once

#include "support/message.h"
#include "usb/pipe_client.h"

#include <atomic>
#include <cstdint>
#include <mutex>

// The messages the channel makes up.
inline constexpr const uint8_t (&USB_CONNECTED)[6] = MSG_LINK_UP;
inline constexpr const uint8_t (&USB_DISCONNECTED)[6] = MSG_LINK_DOWN;
// Receive steps without a pipe after which the disconnected notification is repeated.
constexpr int32_t USB_DISCONNECTED_STEPS = 40;

class HostCommandChannel : public NamedPipeClientCommandChannel {
public:
    HostCommandChannel();
    ~HostCommandChannel();

    // The receive step. Without a pipe: reconnects. With one: first the connected notification,
    // then one pipe message per step.
    uint32_t ThreadStep() override;
    // One whole pipe message: its blocks go to ParseBlocks, unless it was longer than the buffer.
    void OnReceive(const uint8_t* data, uint16_t length) override;
    // Every message of the blocks goes to DispatchToHost; a block cut short is said on the console.
    void ParseBlocks(const uint8_t* data, uint16_t length);
    void OnPipeBroken() override;
    void OnPipeConnected() override;

    // Hands one message to the callback of its class; messages to the module are dropped.
    void DispatchToHost(const uint8_t* bytes, uint16_t length);
    // `lost` is told when an open pipe goes down, before the disconnected notification; `up` when
    // a pipe is connected, after the connected notification.
    void SetCallbacks(ReceiveCallback response, ReceiveCallback notification, void (*lost)() = nullptr,
                      void (*up)() = nullptr);
    // The host's send: writes the message when the pipe is open, waiting at most the pipes'
    // time-out; a pipe that took nothing is given up. False when the message was not written.
    bool Send(const uint8_t* bytes, uint16_t length);
    // Closes the pipe without a notification (the end of a session).
    void Close();
    bool IsConnected() const { return mConnected; }
    // Pipe messages dropped as malformed: longer than the buffer, or a block cut short.
    uint32_t DroppedMessageCount() const { return mDroppedMessages; }

private:
    // Waits on the pending read or the wake event; the read is ended before the pipe breaks.
    uint32_t ReadStep();
    void EndRead();
    void Hand(const uint8_t* bytes, uint16_t length);
    // A message the library makes up (the pipe's notifications), captured as such.
    void HandMadeUp(const uint8_t* bytes, uint16_t length);

    // The connection: a write goes to the open pipe or is refused, never to one being closed.
    std::mutex mLock;
    std::atomic<bool> mConnected{false};
    bool mBreak = false; // a write failed on the open pipe: give the pipe up

    std::atomic<uint8_t> mAnnounce{0};
    int32_t mDisconnectedSteps = 0;
    HANDLE mWake;          // the host's send wants the channel's thread
    bool mReading = false; // a read is under way on mThreadAsync
    bool mTooLong = false; // the current pipe message is longer than the buffer
    std::atomic<uint32_t> mDroppedMessages{0};
    std::atomic<ReceiveCallback> mResponse{nullptr};
    std::atomic<ReceiveCallback> mNotification{nullptr};
    std::atomic<void (*)()> mLost{nullptr};
    std::atomic<void (*)()> mUp{nullptr};
};
