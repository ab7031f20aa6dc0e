// The library's connection to the receiver's USB device (Windows only). One instance per process.
// The process whose CcClient holds the device open is the owner: it reads every block the device
// sends and writes it, unchanged, to the named pipe of the block's client number, and its
// NamedPipeThread serves the sixteen pipes, sending what arrives on pipe n to the device as a
// block for client n. Every process of the USB modes, the owner included, talks to the receiver
// only through these pipes. A process that cannot open the device tries again every 300 ms.
#pragma once

#include "io/named_pipe.h"
#include "io/receive_thread.h"
#include "io/worker_thread.h"

#include <atomic>
#include <cstdint>

class CcClient;

// Serves the sixteen pipes of the owner: waits on their I/O events and services the one that is
// signalled.
class NamedPipeThread : public WorkerThread {
public:
    ~NamedPipeThread();
    void Init(PipeOwner* owner, uint32_t buffer_size);
    // Creates the sixteen pipes and collects their events.
    void OnThreadStart() override;
    // Waits at most 5000 ms for any instance and services it.
    uint32_t ThreadStep() override;
    // Closes the sixteen instances.
    void OnThreadEnd() override;
    // Stops the thread at once, then closes every instance (every client's pipe breaks).
    void StopAndCloseAll();
    CcNamedPipe& Instance(int pipe) { return mPipes[pipe]; }
    void SetSplitLongMessages(bool split);

private:
    PipeOwner* mOwner = nullptr;
    CcNamedPipe mPipes[PIPE_NUMBER_COUNT];
    HANDLE mEvents[PIPE_NUMBER_COUNT] = {};
    int mNext = 0; // the instance that comes first in the next wait
};

class CcClient : public ReceiveThread, public PipeOwner {
public:
    CcClient();
    ~CcClient();

    // Opens the device (the pipe number is not used) and, when it could, starts the pipe service.
    HANDLE OpenPipe(uint8_t pipe_number) override;
    // ReceiveThread's start with 300 ms, whatever is asked.
    BOOL Start(int32_t reconnect_interval_ms) override;
    // A failed device read closes the device and every pipe. A read that got only part of a block
    // longer than the buffer is no failure: OnReceive drops the block.
    DWORD CheckIoResult(BOOL ok) override;
    // Routes one block read from the device to the pipe of its client number. A block longer than
    // 254 bytes is dropped, counted and reported with one console line.
    void OnReceive(const uint8_t* data, uint16_t length) override;
    // Sends one message to the device as a block for the client.
    BOOL MsgToDevice(uint8_t client, const uint8_t* data, uint16_t length) override;
    // Prints the driver's three version lines (those it answers).
    void ShowUsbVersions();

    NamedPipeThread& PipeThread() { return mPipeThread; }
    uint32_t OversizeBlockCount() const { return mOversizeBlocks; }

private:
    NamedPipeThread mPipeThread;
    bool mPartRead = false;         // the last read ended inside a longer block
    uint32_t mOversizeBytes = 0;    // bytes read so far of a block being dropped
    std::atomic<uint32_t> mOversizeBlocks{0};
};

// Finds the device interface of the class and opens its pipe: the interface of the given index
// when it can be opened, else the first one that can; the invalid handle when none can, or when
// the path would not fit 256 bytes ("Failed to open3" when only the pipe's open fails).
HANDLE OpenDevicePipe(const GUID& guid, int index, const char* pipe_name, DWORD flags);
