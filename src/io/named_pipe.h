// The owner's end of one of the sixteen named pipes (Windows only). It creates the pipe, listens
// for a client with overlapped I/O, reads the client's messages and forwards each to the owner's
// device, and writes the device's replies back to the client. The owner's pipe service thread
// waits on the instances' I/O events and calls CheckOverlappedResult on the one that is signalled;
// the owner's device receive thread calls WriteToClient.
#pragma once

#include "io/async_io.h"
#include "io/pipe_name.h"

#include <atomic>
#include <cstdint>
#include <mutex>

// What an instance forwards its client's messages to: the owner's device client.
class PipeOwner {
public:
    // Nonzero when the device took the message; on failure the last error says why.
    virtual BOOL MsgToDevice(uint8_t client, const uint8_t* data, uint16_t length) = 0;

protected:
    ~PipeOwner() = default;
};

constexpr uint32_t PIPE_READ_SIZE = 250;   // the most one read takes from a client message
constexpr int PIPE_FORWARD_ATTEMPTS = 5;   // tries per message before it is dropped
constexpr DWORD PIPE_DEFAULT_TIMEOUT_MS = 1000; // also the bound of a write to a client
constexpr uint32_t PIPE_STALLS_TO_DROP = 3;     // writes in a row that a client leaves untaken
constexpr int PIPE_SERVICE_BATCH = 8;           // messages forwarded per service: no client holds the others
constexpr DWORD PIPE_STALE_MS = 5000;           // how long answers for a client that left are dropped

// Not copyable (its AsyncIo is not): an instance owns its pipe and event.
class CcNamedPipe {
public:
    CcNamedPipe();
    ~CcNamedPipe();

    void Init(PipeOwner* owner, int32_t pipe_number, uint32_t in_size, uint32_t out_size);
    // Creates the pipe and listens; true when a pipe exists afterwards (an existing one is kept).
    BOOL Create();
    // Disconnects a client and closes the pipe.
    void Close();
    // The instance's I/O event, the same for the instance's whole life.
    HANDLE GetEvent() const { return NamedPipeAsyncIo.overlapped.hEvent; }
    // Starts listening; true when the connect is pending. A client that is there at once counts
    // as connected: the event is signalled and the next CheckOverlappedResult reads.
    BOOL ConnectToNewClient();
    // Drops the current client and listens again.
    void ReconnectToClient();
    // Services the instance after its event was signalled: finishes the pending connect or read,
    // forwards up to PIPE_SERVICE_BATCH messages already waiting, and leaves a connected instance
    // with a read pending, or with its event set when more are waiting.
    DWORD CheckOverlappedResult();
    // Forwards the message in the read buffer to the owner, with up to five attempts.
    BOOL WriteToMaster();
    // Writes one message to the client within the pipes' time-out; a client that already left
    // one untaken gets no wait at all. After PIPE_STALLS_TO_DROP such writes in a row the client
    // is disconnected (one console line) and the instance listens again. Called by the device's
    // reading thread.
    BOOL WriteToClient(const uint8_t* data, uint8_t length);
    // OFF: a client message longer than one read (250 bytes) is dropped whole, with a console
    // line; ON: its parts go to the owner one by one.
    void SetSplitLongMessages(bool split) { mSplit = split; }

    HANDLE PipeHandle() const { return mPipe; }
    bool IsPending() const { return mPending; }
    bool IsConnected() const { return mConnected; }
    uint32_t LostBlockCount() const { return mLostBlocks; }
    uint32_t StaleAnswerCount() const { return mStaleDropped; }
    uint32_t RefusedMessageCount() const { return mRefused; }

private:
    BOOL ReadWaiting(BOOL result);
    // What one finished read holds: a whole message (`whole`), or a part of a longer one.
    BOOL TakeRead(bool whole);
    void DropStalledClient();
    void Relisten();

    PipeOwner* mOwner = nullptr;
    int32_t mPipeNumber = 0;
    uint32_t mInSize = 0;
    uint32_t mOutSize = 0;
    HANDLE mPipe = INVALID_HANDLE_VALUE;
    AsyncIo NamedPipeAsyncIo; // the connect and every read; its event is the instance's I/O event
    uint8_t mReadBuffer[2 * PIPE_READ_SIZE];
    BOOL mPending = FALSE;
    BOOL mConnected = FALSE;
    std::atomic<bool> mSplit{false};
    uint32_t mLongMessage = 0; // bytes read of a message being dropped as too long
    std::atomic<uint32_t> mRefused{0};
    // A write's start or cancel and the pipe's close or re-creation never overlap: the handle stays
    // the client's. Timed: at the process's exit its holder may be gone.
    std::timed_mutex mHandleLock;
    std::atomic<uint32_t> mStalls{0}; // writes in a row the current client left untaken
    std::atomic<bool> mDropRequested{false};
    std::atomic<uint32_t> mLostBlocks{0};
    // Answers owed to the current client, and those still owed to one that left: the device does
    // not know that the pipe has changed hands, so they are dropped for a while, never handed to
    // the next client.
    std::atomic<int32_t> mOutstanding{0};
    std::atomic<int32_t> mStale{0};
    std::atomic<ULONGLONG> mStaleUntil{0};
    std::atomic<uint32_t> mStaleDropped{0};
};
