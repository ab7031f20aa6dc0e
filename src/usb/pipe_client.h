// The client end of one of the sixteen named pipes that the owner of the device serves (Windows
// only). It opens a pipe by number, notices when the pipe breaks, and lets the receive step
// reconnect; derived classes hear of both through two hooks. The messages on the pipe are laid
// out in device_block.h.
#pragma once

#include "io/receive_thread.h"
#include "usb/device_block.h"

class NamedPipeClientCommandChannel : public ReceiveThread {
public:
    NamedPipeClientCommandChannel();

    // Opens "\\.\pipe\cccNamedPipe" and the number for overlapped I/O, in message read mode; on
    // success the handle is in place and OnPipeConnected runs before this returns. The invalid handle for a number above 15 or a pipe that no owner
    // serves, without a line.
    HANDLE OpenPipe(uint8_t pipe_number) override;
    // A failure other than a pending operation counts as an I/O error and breaks the pipe.
    DWORD CheckIoResult(BOOL ok) override;
    // Shows what was read ("PipeRd"), whatever the trace flags.
    void OnReceive(const uint8_t* data, uint16_t length) override;
    // Slots behind ReceiveThread's: the pipe broke (the base closes it); the pipe was opened.
    virtual void OnPipeBroken();
    virtual void OnPipeConnected() {}
};
