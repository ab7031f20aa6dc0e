// The COM port's system calls over the Win32 communications interface, with overlapped I/O so
// that the host's thread writes while the receive thread waits for data. Reading is one byte at
// a time: a read returns what has arrived as soon as the next byte would have to be waited for.
#include "link/com_os.h"
#include "link/com_port_win32.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>

struct ComOs {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    OVERLAPPED write_overlapped{};
    OVERLAPPED read_overlapped{};
    uint8_t read_pending = 0; // a one-byte read started by an earlier call is not collected yet
    // The byte of the one-byte reads: a pending read may complete after its call returned, so it
    // lives as long as the port. Timed and untimed reads share it, so that a byte left pending by
    // one is collected, in order, by whichever reads next.
    uint8_t read_byte = 0;
    // Set by a stop: reads end at once. A stop may come from another thread while the link's own
    // thread opens or closes the port again: the event changes only under the lock.
    std::mutex wake_lock;
    std::atomic<HANDLE> wake_event{nullptr};
    std::atomic<bool> woken{false};
};

namespace {

constexpr DWORD PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

ComOs g_os;

HANDLE system_open(const char* name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}
BOOL system_set_timeouts(HANDLE port, const COMMTIMEOUTS* timeouts)
{
    COMMTIMEOUTS copy = *timeouts;
    return SetCommTimeouts(port, &copy);
}
BOOL system_get_state(HANDLE port, DCB* dcb)
{
    return GetCommState(port, dcb);
}
BOOL system_set_state(HANDLE port, const DCB* dcb)
{
    DCB copy = *dcb;
    return SetCommState(port, &copy);
}
BOOL system_escape(HANDLE port, DWORD function)
{
    return EscapeCommFunction(port, function);
}

const ComWin32Seam SYSTEM_SEAM{system_open, system_set_timeouts, system_get_state, system_set_state, system_escape};
ComWin32Seam g_seam = SYSTEM_SEAM;

HANDLE new_event()
{
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void close_event(HANDLE* event)
{
    if (*event)
        CloseHandle(*event);
    *event = nullptr;
}

// Ends a pending read that will not be collected: cancels it and waits until it has settled.
void cancel_read(ComOs* os)
{
    if (!os->read_pending)
        return;
    DWORD count = 0;
    CancelIoEx(os->handle, &os->read_overlapped);
    GetOverlappedResult(os->handle, &os->read_overlapped, &count, TRUE);
    os->read_pending = 0;
}

// Starts one one-byte read. The bytes it brought at once (0 or 1), or LINK_FAILED; a read that
// has to wait is left pending.
int start_read(ComOs* os)
{
    ResetEvent(os->read_overlapped.hEvent);
    DWORD got = 0;
    if (ReadFile(os->handle, &os->read_byte, 1, &got, &os->read_overlapped))
        return static_cast<int>(got);
    if (GetLastError() == ERROR_IO_PENDING) {
        os->read_pending = 1;
        return 0;
    }
    return GetLastError() == ERROR_TIMEOUT ? 0 : LINK_FAILED; // a time-out only means no byte
}

constexpr int STILL_PENDING = -100; // the limit passed; the read stays pending

// Waits for the pending read: its byte count (0 or 1), STILL_PENDING, or a failure (the read is
// then settled).
int wait_read(ComOs* os, int timeout_ms)
{
    HANDLE events[2] = {os->read_overlapped.hEvent, os->wake_event};
    const DWORD limit = timeout_ms == LINK_WAIT_FOREVER ? INFINITE : static_cast<DWORD>(timeout_ms);
    const DWORD waited = WaitForMultipleObjects(2, events, FALSE, limit);
    if (waited == WAIT_OBJECT_0 + 1) {
        cancel_read(os);
        return LINK_FAILED;
    }
    if (waited == WAIT_TIMEOUT)
        return STILL_PENDING;
    if (waited != WAIT_OBJECT_0) {
        cancel_read(os);
        return LINK_WAIT_FAILED;
    }
    DWORD got = 0;
    const BOOL done = GetOverlappedResult(os->handle, &os->read_overlapped, &got, FALSE);
    os->read_pending = 0;
    // The read time-out ended the read without a byte; some implementations report that as a
    // failure with ERROR_TIMEOUT rather than as a success with 0 bytes.
    if (!done && GetLastError() != ERROR_TIMEOUT)
        return LINK_INCOMPLETE;
    return done ? static_cast<int>(got) : 0;
}

} // namespace

ComOs* com_os_port()
{
    return &g_os;
}

// COM1 to COM9 open by their plain names; from COM10 on only in the \\.\ form, which every
// port takes.
void com_os_device_name(uint8_t port, char* name, size_t size)
{
    std::snprintf(name, size, port < 10 ? "COM%d" : "\\\\.\\COM%d", port);
}

void com_os_named_device(const char* given, char* name, size_t size)
{
    const bool com = (given[0] == 'C' || given[0] == 'c') && (given[1] == 'O' || given[1] == 'o') &&
                     (given[2] == 'M' || given[2] == 'm');
    std::snprintf(name, size, com ? "\\\\.\\%s" : "%s", given);
}

void com_win32_set_seam(const ComWin32Seam* seam)
{
    const ComWin32Seam s = seam ? *seam : SYSTEM_SEAM;
    g_seam.open = s.open ? s.open : system_open;
    g_seam.set_timeouts = s.set_timeouts ? s.set_timeouts : system_set_timeouts;
    g_seam.get_state = s.get_state ? s.get_state : system_get_state;
    g_seam.set_state = s.set_state ? s.set_state : system_set_state;
    g_seam.escape = s.escape ? s.escape : system_escape;
}

bool com_os_open(ComOs* os, const char* name)
{
    os->handle = g_seam.open(name);
    return os->handle != INVALID_HANDLE_VALUE;
}

bool com_os_configure(ComOs* os, const ComSettings& s)
{
    SetCommMask(os->handle, EV_RXCHAR);
    SetupComm(os->handle, 4096, 4096);
    PurgeComm(os->handle, PURGE_ALL);
    os->timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
    os->timeouts.ReadTotalTimeoutMultiplier = 0;
    os->timeouts.ReadTotalTimeoutConstant = 1000;
    os->timeouts.WriteTotalTimeoutMultiplier = 0;
    os->timeouts.WriteTotalTimeoutConstant = 1000;
    g_seam.set_timeouts(os->handle, &os->timeouts);

    os->dcb = DCB{};
    os->dcb.DCBlength = sizeof os->dcb;
    if (!g_seam.get_state(os->handle, &os->dcb))
        return false;
    os->dcb.BaudRate = s.baud;
    os->dcb.ByteSize = s.data_bits;
    os->dcb.Parity = s.parity;
    os->dcb.StopBits = s.stop_bits;
    os->dcb.fBinary = TRUE;
    os->dcb.fParity = TRUE;
    os->dcb.fOutxCtsFlow = FALSE;
    os->dcb.fOutxDsrFlow = FALSE;
    os->dcb.fOutX = FALSE;
    os->dcb.fInX = FALSE;
    os->dcb.fNull = FALSE;
    os->dcb.fDtrControl = DTR_CONTROL_DISABLE;
    os->dcb.fRtsControl = RTS_CONTROL_DISABLE;
    // The block is refused when both flow-control characters are equal, as a port may report
    // them after an earlier user; flow control is off, so the usual pair is harmless.
    if (os->dcb.XonChar == os->dcb.XoffChar) {
        os->dcb.XonChar = 0x11;
        os->dcb.XoffChar = 0x13;
    }
    if (!g_seam.set_state(os->handle, &os->dcb))
        return false;
    g_seam.escape(os->handle, SETRTS);
    g_seam.escape(os->handle, CLRDTR);

    os->read_overlapped = OVERLAPPED{};
    os->write_overlapped = OVERLAPPED{};
    os->read_overlapped.hEvent = new_event();
    os->write_overlapped.hEvent = new_event();
    {
        std::lock_guard lock(os->wake_lock);
        os->wake_event = CreateEventA(nullptr, TRUE, os->woken ? TRUE : FALSE, nullptr);
    }
    os->read_pending = 0;
    return true;
}

void com_os_close(ComOs* os)
{
    if (os->handle != INVALID_HANDLE_VALUE) {
        // Abort the transfers first and close their events last, so that no read waits on a
        // closed event.
        SetCommMask(os->handle, 0);
        g_seam.escape(os->handle, CLRDTR);
        PurgeComm(os->handle, PURGE_ALL);
        cancel_read(os);
        CloseHandle(os->handle);
        os->handle = INVALID_HANDLE_VALUE;
    }
    close_event(&os->read_overlapped.hEvent);
    close_event(&os->write_overlapped.hEvent);
    {
        std::lock_guard lock(os->wake_lock);
        if (HANDLE wake = os->wake_event.exchange(nullptr))
            CloseHandle(wake);
        os->woken = false; // the next open starts awake
    }
    os->read_pending = 0;
}

// The write is waited for beside the wake event and at most limit_ms; then it is cancelled.
int com_os_write(ComOs* os, const uint8_t* bytes, int count, int limit_ms)
{
    if (os->woken)
        return LINK_FAILED;
    ResetEvent(os->write_overlapped.hEvent);
    DWORD written = 0;
    if (WriteFile(os->handle, bytes, static_cast<DWORD>(count), &written, &os->write_overlapped))
        return static_cast<int>(written);
    if (GetLastError() != ERROR_IO_PENDING)
        return LINK_FAILED;
    HANDLE events[2] = {os->write_overlapped.hEvent, os->wake_event.load()};
    const DWORD waited = WaitForMultipleObjects(events[1] ? 2 : 1, events, FALSE, static_cast<DWORD>(limit_ms));
    if (waited != WAIT_OBJECT_0)
        CancelIoEx(os->handle, &os->write_overlapped);
    if (!GetOverlappedResult(os->handle, &os->write_overlapped, &written, TRUE))
        return LINK_INCOMPLETE;
    return static_cast<int>(written);
}

int com_os_read(ComOs* os, uint8_t* buffer, int max_count, int timeout_ms)
{
    if (os->woken)
        return LINK_FAILED;
    int count = 0;
    for (;;) {
        if (!os->read_pending) {
            const int got = start_read(os);
            if (got < 0)
                return got;
            if (got == 1)
                buffer[count++] = os->read_byte;
        }
        if (os->read_pending) {
            if (count > 0)
                return count; // the next byte has to be waited for; it is collected next time
            const int got = wait_read(os, timeout_ms);
            if (got == STILL_PENDING)
                return LINK_TIMEOUT;
            if (got < 0)
                return got;
            if (got == 1)
                buffer[count++] = os->read_byte;
        }
        if (os->woken)
            return LINK_FAILED;
        if (count >= max_count)
            return count;
    }
}

void com_os_wake(ComOs* os)
{
    std::lock_guard lock(os->wake_lock);
    os->woken = true;
    if (HANDLE wake = os->wake_event.load())
        SetEvent(wake);
}
