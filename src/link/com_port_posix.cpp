// The COM port transport over a termios serial device. Port n is /dev/COMn when such a device or
// link exists, else /dev/ttyS(n-1). The device is opened non-blocking; reads wait in poll()
// together with a pipe through which a stop wakes the receive thread.
#include "link/com_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

constexpr int WRITE_LIMIT_MS = 1000; // a write that cannot go on for this long fails

struct ComPort {
    uint8_t port = 1;
    uint32_t baud = 115200;
    uint8_t parity = 2;
    uint8_t data_bits = 8;
    uint8_t stop_bits = 2;
    std::atomic<int> fd{-1};
    int wake_pipe[2] = {-1, -1};
    std::atomic<bool> woken{false};
    std::atomic<bool> open{false};
};

ComPort g_com;

std::mutex g_override_lock;
std::string g_override;

ComPort* port_of(void* context)
{
    return static_cast<ComPort*>(context);
}

bool baud_constant(uint32_t baud, speed_t* speed)
{
    static const struct {
        uint32_t rate;
        speed_t speed;
    } rates[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
                 {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
                 {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& r : rates) {
        if (r.rate == baud) {
            *speed = r.speed;
            return true;
        }
    }
    return false;
}

// Applies the stored settings: raw bytes, no flow control, the receiver on, modem lines ignored.
bool configure(ComPort* com, int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    speed_t speed;
    if (!baud_constant(com->baud, &speed) || com->data_bits < 5 || com->data_bits > 8 || com->parity > 4 ||
        com->stop_bits > 2)
        return false;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR);
    tio.c_cflag |= sizes[com->data_bits - 5] | CLOCAL | CREAD;
    switch (com->parity) {
    case 1: tio.c_cflag |= PARENB | PARODD; break;          // odd
    case 2: tio.c_cflag |= PARENB; break;                   // even
    case 3: tio.c_cflag |= PARENB | PARODD | CMSPAR; break; // mark
    case 4: tio.c_cflag |= PARENB | CMSPAR; break;          // space
    default: break;                                         // none
    }
    if (com->stop_bits != 0) // one and a half is not available: two
        tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) == 0)
        return true;
    if (errno != EINVAL || !(tio.c_cflag & PARENB))
        return false;
    // A pseudo-terminal has no parity: its driver drops the bit, and the kernel refuses a request
    // of which nothing else could be applied. Ask again without parity, then make sure that
    // everything else is in place.
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        return false;
    termios now{};
    const tcflag_t kept = CSIZE | CSTOPB | CREAD | CLOCAL;
    return ::tcgetattr(fd, &now) == 0 && (now.c_cflag & kept) == (tio.c_cflag & kept) &&
           ::cfgetospeed(&now) == speed && !(now.c_lflag & ICANON);
}

void close_wake_pipe(ComPort* com)
{
    for (int& fd : com->wake_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

// Reads what is there once the device is readable; waits at most the limit (-1: none).
// The count, 0 when the limit passed, -1 when the device failed or the link was woken.
int read_wait(ComPort* com, uint8_t* buffer, int max_count, int timeout_ms)
{
    if (max_count < 1)
        return 0;
    const int fd = com->fd;
    if (fd < 0)
        return -1;
    pollfd fds[2] = {{fd, POLLIN, 0}, {com->wake_pipe[0], POLLIN, 0}};
    for (;;) {
        if (com->woken)
            return -1;
        const int n = ::poll(fds, 2, timeout_ms);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || com->woken)
            return -1;
        if (n == 0)
            return 0;
        const ssize_t got = ::read(fd, buffer, static_cast<size_t>(max_count));
        if (got > 0)
            return static_cast<int>(got);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        return -1; // the line hung up (the other end of a pseudo-terminal closed) or failed
    }
}

} // namespace

void com_device_name(uint8_t port, char* name, size_t size)
{
    {
        std::lock_guard lock(g_override_lock);
        if (!g_override.empty()) {
            std::snprintf(name, size, "%s", g_override.c_str());
            return;
        }
    }
    std::snprintf(name, size, "/dev/COM%d", port);
    if (::access(name, F_OK) != 0)
        std::snprintf(name, size, "/dev/ttyS%d", port - 1);
}

void com_set_device_override(const char* path)
{
    std::lock_guard lock(g_override_lock);
    g_override = path ? path : "";
}

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
    com->open = false;
    return 0;
}

int com_open(void* context)
{
    ComPort* com = port_of(context);
    if (com->fd >= 0)
        com_close(com); // left open by an earlier open whose settings were refused
    com->woken = false;
    char name[256];
    com_device_name(com->port, name, sizeof name);
    const int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // No sharing: a second open of the port fails while this one holds it.
    if (::ioctl(fd, TIOCEXCL) != 0 || ::pipe2(com->wake_pipe, O_CLOEXEC) != 0) {
        ::close(fd);
        return -1;
    }
    ::tcflush(fd, TCIOFLUSH);
    if (!configure(com, fd)) {
        com->fd = fd; // the port stays open
        return -2;
    }
    // RTS raised, DTR lowered; a pseudo-terminal has no modem lines and refuses both.
    int rts = TIOCM_RTS;
    int dtr = TIOCM_DTR;
    ::ioctl(fd, TIOCMBIS, &rts);
    ::ioctl(fd, TIOCMBIC, &dtr);
    com->fd = fd;
    com->open = true;
    return 0;
}

int com_close(void* context)
{
    ComPort* com = port_of(context);
    const int fd = com->fd.exchange(-1);
    if (fd >= 0) {
        int dtr = TIOCM_DTR;
        ::ioctl(fd, TIOCMBIC, &dtr);
        ::tcflush(fd, TCIOFLUSH);
        // The exclusive mode outlives this descriptor while any other process holds the line.
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
    }
    close_wake_pipe(com);
    com->open = false;
    return 0;
}

int com_write(void* context, const uint8_t* bytes, int count)
{
    ComPort* com = port_of(context);
    const int fd = com->fd;
    if (fd < 0)
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WRITE_LIMIT_MS);
    int done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, bytes + done, static_cast<size_t>(count - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -2; // the line did not take the bytes in time
        pollfd out{fd, POLLOUT, 0};
        if (::poll(&out, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
            return -2;
    }
    return done;
}

int com_read(void* context, uint8_t* buffer, int max_count)
{
    return read_wait(port_of(context), buffer, max_count, -1);
}

int com_read_timeout(void* context, uint8_t* buffer, int max_count, int timeout_ms)
{
    return read_wait(port_of(context), buffer, max_count, timeout_ms < 0 ? 0 : timeout_ms);
}

int com_wake(void* context)
{
    ComPort* com = port_of(context);
    com->woken = true;
    if (com->wake_pipe[1] >= 0) {
        const uint8_t byte = 1;
        [[maybe_unused]] ssize_t n = ::write(com->wake_pipe[1], &byte, 1);
    }
    return 0;
}
