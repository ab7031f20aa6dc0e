// The COM port transport over the Win32 communications interface, with overlapped I/O so that
// the host's thread writes while the receive thread waits for data. Reading is one byte at a
// time: a read returns what has arrived as soon as the next byte would have to be waited for.
#include "link/com_port.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

namespace {

struct ComPort {
    uint8_t port = 1;
    uint32_t baud = 115200;
    uint8_t parity = 2;
    uint8_t data_bits = 8;
    uint8_t stop_bits = 2;
    HANDLE handle = INVALID_HANDLE_VALUE;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    uint16_t open = 0;
    OVERLAPPED write_overlapped{};
    OVERLAPPED read_overlapped{};
    uint8_t read_pending = 0;
    // The byte of the one-byte reads: a pending read may complete after its call returned. Both
    // read operations share it, so that a byte left pending by one is collected, in order, by
    // whichever reads next.
    uint8_t read_byte = 0;
    HANDLE wake_event = nullptr; // set by a stop: reads end at once
    std::atomic<bool> woken{false};
};

ComPort g_com;

ComPort* port_of(void* context)
{
    return static_cast<ComPort*>(context);
}

void close_event(HANDLE* event)
{
    if (*event)
        CloseHandle(*event);
    *event = nullptr;
}

// Ends a pending read that will not be collected: cancels it and waits until it has settled.
void cancel_read(ComPort* com, OVERLAPPED* overlapped, uint8_t* pending)
{
    if (!*pending)
        return;
    DWORD count = 0;
    CancelIoEx(com->handle, overlapped);
    GetOverlappedResult(com->handle, overlapped, &count, TRUE);
    *pending = 0;
}

// The one-byte read loop shared by com_read and com_read_timeout. With a limit (timed), the wait
// for the first byte ends after timeout_ms with 0 and leaves the read pending.
int read_bytes(ComPort* com, uint8_t* buffer, int max_count, OVERLAPPED* overlapped, uint8_t* pending,
               uint8_t* byte, bool timed, DWORD timeout_ms)
{
    if (max_count < 1)
        return 0;
    if (com->woken || !com->open)
        return -1;
    int count = 0;
    for (;;) {
        if (!*pending) {
            ResetEvent(overlapped->hEvent);
            DWORD got = 0;
            if (ReadFile(com->handle, byte, 1, &got, overlapped)) {
                if (got == 1)
                    buffer[count] = *byte;
                count += static_cast<int>(got);
            } else if (GetLastError() == ERROR_IO_PENDING) {
                *pending = 1;
            } else if (GetLastError() != ERROR_TIMEOUT) { // a time-out only means no byte
                return -1;
            }
        }
        if (*pending) {
            if (count > 0)
                return count; // the next byte has to be waited for; it is collected next time
            HANDLE events[2] = {overlapped->hEvent, com->wake_event};
            const DWORD waited = WaitForMultipleObjects(2, events, FALSE, timed ? timeout_ms : INFINITE);
            if (waited == WAIT_OBJECT_0 + 1) {
                cancel_read(com, overlapped, pending);
                return -1;
            }
            if (waited == WAIT_TIMEOUT)
                return 0;
            if (waited != WAIT_OBJECT_0) {
                cancel_read(com, overlapped, pending);
                return timed ? -3 : -1;
            }
            DWORD got = 0;
            const BOOL done = GetOverlappedResult(com->handle, overlapped, &got, FALSE);
            *pending = 0;
            // The read time-out ended the read without a byte; some implementations report
            // that as a failure with ERROR_TIMEOUT rather than as a success with 0 bytes.
            if (!done && GetLastError() != ERROR_TIMEOUT)
                return timed ? -2 : -1;
            if (!done)
                got = 0;
            if (got == 1)
                buffer[0] = *byte;
            count = static_cast<int>(got);
        }
        if (com->woken)
            return -1;
        if (count >= max_count)
            return count;
    }
}

} // namespace

void com_device_name(uint8_t port, char* name, size_t size)
{
    char text[32];
    wsprintfA(text, "COM%d", port);
    std::snprintf(name, size, "%s", text);
}

void com_set_device_override(const char*) {}

void* com_context()
{
    return &g_com;
}

int com_init(void* context, uint8_t port, uint32_t baud, uint8_t parity, uint8_t data_bits, uint8_t stop_bits)
{
    ComPort* com = port_of(context);
    com->port = port;
    com->baud = baud;
    com->parity = parity;
    com->data_bits = data_bits;
    com->stop_bits = stop_bits;
    com->open = 0;
    com->read_pending = 0;
    return 0;
}

int com_open(void* context)
{
    ComPort* com = port_of(context);
    if (com->handle != INVALID_HANDLE_VALUE)
        com_close(com); // left open by an earlier open whose settings were refused
    com->open = 0;
    com->woken = false;
    char name[32];
    com_device_name(com->port, name, sizeof name);
    com->handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (com->handle == INVALID_HANDLE_VALUE)
        return -1;

    SetCommMask(com->handle, EV_RXCHAR);
    SetupComm(com->handle, 4096, 4096);
    PurgeComm(com->handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    com->timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
    com->timeouts.ReadTotalTimeoutMultiplier = 0;
    com->timeouts.ReadTotalTimeoutConstant = 1000;
    com->timeouts.WriteTotalTimeoutMultiplier = 0;
    com->timeouts.WriteTotalTimeoutConstant = 1000;
    SetCommTimeouts(com->handle, &com->timeouts);

    com->dcb = DCB{};
    com->dcb.DCBlength = sizeof com->dcb;
    if (!GetCommState(com->handle, &com->dcb))
        return -2;
    com->dcb.BaudRate = com->baud;
    com->dcb.ByteSize = com->data_bits;
    com->dcb.Parity = com->parity;
    com->dcb.StopBits = com->stop_bits;
    com->dcb.fBinary = TRUE;
    com->dcb.fParity = TRUE;
    com->dcb.fOutxCtsFlow = FALSE;
    com->dcb.fOutxDsrFlow = FALSE;
    com->dcb.fOutX = FALSE;
    com->dcb.fInX = FALSE;
    com->dcb.fNull = FALSE;
    com->dcb.fDtrControl = DTR_CONTROL_DISABLE;
    com->dcb.fRtsControl = RTS_CONTROL_DISABLE;
    // The block is refused when both flow-control characters are equal, as a port may report
    // them after an earlier user; flow control is off, so the usual pair is harmless.
    if (com->dcb.XonChar == com->dcb.XoffChar) {
        com->dcb.XonChar = 0x11;
        com->dcb.XoffChar = 0x13;
    }
    if (!SetCommState(com->handle, &com->dcb))
        return -2; // the port stays open
    EscapeCommFunction(com->handle, SETRTS);
    EscapeCommFunction(com->handle, CLRDTR);

    com->read_overlapped = OVERLAPPED{};
    com->write_overlapped = OVERLAPPED{};
    com->read_overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    com->write_overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    com->wake_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    com->open = 1;
    com->read_pending = 0;
    return 0;
}

int com_close(void* context)
{
    ComPort* com = port_of(context);
    if (com->handle != INVALID_HANDLE_VALUE) {
        // Abort the transfers first and close their events last, so that no read waits on a
        // closed event.
        SetCommMask(com->handle, 0);
        EscapeCommFunction(com->handle, CLRDTR);
        PurgeComm(com->handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        if (com->open)
            cancel_read(com, &com->read_overlapped, &com->read_pending);
        CloseHandle(com->handle);
        com->handle = INVALID_HANDLE_VALUE;
    }
    close_event(&com->read_overlapped.hEvent);
    close_event(&com->write_overlapped.hEvent);
    close_event(&com->wake_event);
    com->open = 0;
    return 0;
}

int com_write(void* context, const uint8_t* bytes, int count)
{
    ComPort* com = port_of(context);
    if (!com->open)
        return -1;
    ResetEvent(com->write_overlapped.hEvent);
    DWORD written = 0;
    if (WriteFile(com->handle, bytes, static_cast<DWORD>(count), &written, &com->write_overlapped))
        return static_cast<int>(written);
    if (GetLastError() != ERROR_IO_PENDING)
        return -1;
    if (!GetOverlappedResult(com->handle, &com->write_overlapped, &written, TRUE))
        return -2;
    return static_cast<int>(written);
}

int com_read(void* context, uint8_t* buffer, int max_count)
{
    ComPort* com = port_of(context);
    return read_bytes(com, buffer, max_count, &com->read_overlapped, &com->read_pending, &com->read_byte, false, 0);
}

int com_read_timeout(void* context, uint8_t* buffer, int max_count, int timeout_ms)
{
    ComPort* com = port_of(context);
    return read_bytes(com, buffer, max_count, &com->read_overlapped, &com->read_pending, &com->read_byte, true, timeout_ms < 0 ? 0 : static_cast<DWORD>(timeout_ms));
}

int com_wake(void* context)
{
    ComPort* com = port_of(context);
    com->woken = true;
    if (com->wake_event)
        SetEvent(com->wake_event);
    return 0;
}
