#include "usb/pipe_client.h"

#include "io/pipe_name.h"
#include "io/trace.h"
#include "support/console.h"

// The receive buffer holds a whole block, the largest message the owner forwards.
NamedPipeClientCommandChannel::NamedPipeClientCommandChannel() : ReceiveThread(DEVICE_BLOCK_MAX, true)
{
    mName = "NamedPipeClientCommandChannel";
    mPipeCount = PIPE_NUMBER_COUNT;
    if (mTraceFlags & TRACE_METHODS)
        console_print(ConsoleStream::Out, "%s::NamedPipeClientCommandChannel()\n", mName);
}

HANDLE NamedPipeClientCommandChannel::OpenPipe(uint8_t pipe_number)
{
    char name[128];
    if (!MakePipeName(name, sizeof name, pipe_number))
        return INVALID_HANDLE_VALUE;
    const HANDLE pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        GetLastError(); // busy or not served: retried by the receive step
        return INVALID_HANDLE_VALUE;
    }
    // Each read takes one pipe message, that is one block as the owner forwards it: a wrong length
    // in a header can never shift the blocks behind it.
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    mPipe = pipe; // in place before the hook, which may let writes begin
    OnPipeConnected();
    return pipe;
}

DWORD NamedPipeClientCommandChannel::CheckIoResult(BOOL ok)
{
    const DWORD error = CountIoFailure(ok);
    if (error != 0 && error != ERROR_IO_PENDING)
        OnPipeBroken();
    return error;
}

void NamedPipeClientCommandChannel::OnReceive(const uint8_t* data, uint16_t length)
{
    HexDump(data, length, 16, "PipeRd");
}

void NamedPipeClientCommandChannel::OnPipeBroken()
{
    ClosePipe();
}
