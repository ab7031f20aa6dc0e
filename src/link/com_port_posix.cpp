// The COM port's system calls over a termios serial device. The device is opened non-blocking;
// reads wait in poll() together with a pipe through which a stop wakes the receive thread.
#include "link/com_os.h"
#include "link/com_port_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

struct ComOs {
    std::atomic<int> fd{-1};
    // A stop may wake the port from another thread while the link's own thread opens or closes
    // it again: the pipe's ends change only under the lock.
    std::mutex wake_lock;
    int wake_pipe[2] = {-1, -1};
    std::atomic<int> wake_read{-1};
    std::atomic<bool> woken{false};
};

namespace {


ComOs g_os;

int system_set_attributes(int fd, const termios* tio)
{
    return ::tcsetattr(fd, TCSANOW, tio);
}

int system_modem_lines(int fd, unsigned long request, int lines)
{
    return ::ioctl(fd, request, &lines);
}

ComTermiosSeam g_seam{system_set_attributes, com_posix_is_pseudo_terminal, system_modem_lines};

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

// The settings on top of the device's current attributes: raw bytes, no flow control, the
// receiver on, modem lines ignored. False when a setting does not exist here.
bool make_termios(const ComSettings& s, termios* tio)
{
    speed_t speed;
    if (!baud_constant(s.baud, &speed) || s.data_bits < 5 || s.data_bits > 8 || s.parity > 4 || s.stop_bits > 2)
        return false;
    ::cfmakeraw(tio);
    ::cfsetispeed(tio, speed);
    ::cfsetospeed(tio, speed);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR);
    tio->c_cflag |= sizes[s.data_bits - 5] | CLOCAL | CREAD;
    switch (s.parity) {
    case 1: tio->c_cflag |= PARENB | PARODD; break;          // odd
    case 2: tio->c_cflag |= PARENB; break;                   // even
    case 3: tio->c_cflag |= PARENB | PARODD | CMSPAR; break; // mark
    case 4: tio->c_cflag |= PARENB | CMSPAR; break;          // space
    default: break;                                          // none
    }
    if (s.stop_bits != 0) // one and a half is not available: two
        tio->c_cflag |= CSTOPB;
    tio->c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
    return true;
}

bool apply(int fd, termios tio)
{
    if (g_seam.set_attributes(fd, &tio) == 0)
        return true;
    // A pseudo-terminal has no parity and the kernel may refuse the request for it. There, and
    // only there, ask again without parity and make sure that everything else is in place. A
    // real port that refuses its settings fails the open.
    if (errno != EINVAL || !(tio.c_cflag & PARENB) || !g_seam.is_pseudo_terminal(fd))
        return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
    if (g_seam.set_attributes(fd, &tio) != 0)
        return false;
    termios now{};
    const tcflag_t kept = CSIZE | CSTOPB | CREAD | CLOCAL;
    return ::tcgetattr(fd, &now) == 0 && (now.c_cflag & kept) == (tio.c_cflag & kept) &&
           ::cfgetospeed(&now) == ::cfgetospeed(&tio) && !(now.c_lflag & ICANON);
}

void close_wake_pipe()
{
    std::lock_guard lock(g_os.wake_lock);
    g_os.wake_read = -1;
    for (int& fd : g_os.wake_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

} // namespace

bool com_posix_is_pseudo_terminal(int fd)
{
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned major_number = major(st.st_rdev);
    return (major_number >= 136 && major_number <= 143) || major_number == 3; // Unix98 and BSD slaves
}

void com_posix_set_seam(const ComTermiosSeam* seam)
{
    g_seam.set_attributes = seam && seam->set_attributes ? seam->set_attributes : system_set_attributes;
    g_seam.is_pseudo_terminal =
        seam && seam->is_pseudo_terminal ? seam->is_pseudo_terminal : com_posix_is_pseudo_terminal;
    g_seam.modem_lines = seam && seam->modem_lines ? seam->modem_lines : system_modem_lines;
}

ComOs* com_os_port()
{
    return &g_os;
}

void com_os_device_name(uint8_t port, char* name, size_t size)
{
    char variable[16];
    std::snprintf(variable, sizeof variable, "ORMA_COM%d", port);
    if (const char* device = std::getenv(variable); device && *device) {
        std::snprintf(name, size, "%s", device);
        return;
    }
    std::snprintf(name, size, "/dev/COM%d", port);
    if (::access(name, F_OK) != 0)
        std::snprintf(name, size, "/dev/ttyS%d", port - 1);
}

void com_os_named_device(const char* given, char* name, size_t size)
{
    std::snprintf(name, size, "%s", given);
}

bool com_os_open(ComOs* os, const char* name)
{
    const int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    // No sharing: a second open of the port fails while this one holds it.
    bool piped = false;
    if (::ioctl(fd, TIOCEXCL) == 0) {
        std::lock_guard lock(os->wake_lock);
        piped = ::pipe2(os->wake_pipe, O_CLOEXEC) == 0;
        os->wake_read = piped ? os->wake_pipe[0] : -1;
    }
    if (!piped) {
        ::close(fd);
        return false;
    }
    os->fd = fd;
    return true;
}

bool com_os_configure(ComOs* os, const ComSettings& settings)
{
    const int fd = os->fd;
    ::tcflush(fd, TCIOFLUSH);
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0 || !make_termios(settings, &tio) || !apply(fd, tio))
        return false;
    // RTS raised, DTR lowered; a pseudo-terminal has no modem lines and refuses both.
    g_seam.modem_lines(fd, TIOCMBIS, TIOCM_RTS);
    g_seam.modem_lines(fd, TIOCMBIC, TIOCM_DTR);
    return true;
}

void com_os_close(ComOs* os)
{
    const int fd = os->fd.exchange(-1);
    if (fd >= 0) {
        g_seam.modem_lines(fd, TIOCMBIC, TIOCM_DTR);
        ::tcflush(fd, TCIOFLUSH);
        // The exclusive mode outlives this descriptor while any other process holds the line.
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
    }
    close_wake_pipe();
    os->woken = false; // the next open starts awake
}

int com_os_write(ComOs* os, const uint8_t* bytes, int count, int limit_ms)
{
    const int fd = os->fd;
    if (fd < 0)
        return LINK_FAILED;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
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
            return LINK_FAILED;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return LINK_INCOMPLETE; // the line did not take the bytes in time
        pollfd out{fd, POLLOUT, 0};
        if (::poll(&out, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
            return LINK_INCOMPLETE;
    }
    return done;
}

int com_os_read(ComOs* os, uint8_t* buffer, int max_count, int timeout_ms)
{
    const int fd = os->fd;
    if (fd < 0)
        return LINK_FAILED;
    pollfd fds[2] = {{fd, POLLIN, 0}, {os->wake_read, POLLIN, 0}};
    for (;;) {
        if (os->woken)
            return LINK_FAILED;
        const int n = ::poll(fds, 2, timeout_ms);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return LINK_WAIT_FAILED;
        if (os->woken)
            return LINK_FAILED;
        if (n == 0)
            return LINK_TIMEOUT;
        const ssize_t got = ::read(fd, buffer, static_cast<size_t>(max_count));
        if (got > 0)
            return static_cast<int>(got);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        return LINK_FAILED; // the line hung up (the other end of a pseudo-terminal closed) or failed
    }
}

void com_os_wake(ComOs* os)
{
    std::lock_guard lock(os->wake_lock);
    os->woken = true;
    if (os->wake_pipe[1] >= 0) {
        const uint8_t byte = 1;
        [[maybe_unused]] ssize_t n = ::write(os->wake_pipe[1], &byte, 1);
    }
}
