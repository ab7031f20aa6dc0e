// The Linux roles of ormasim: the TCP server on 127.0.0.1 and the pseudo-terminal of --serial,
// each serving one Session at a time over an FdLine, and pulling its line away on request
// (7F 07).
#include "sim_cli.h"
#include "sim_posix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace sim {

volatile sig_atomic_t g_stop = 0;

void fail(const char* what)
{
    std::fprintf(stderr, "ormasim: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

namespace {

// The pseudo-terminal's settings go back to those of a fresh line.
void reset_line(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | PARODD);
        tcsetattr(fd, TCSANOW, &t);
    }
}

// A TCP peer, or the master side of the pseudo-terminal (serial), non-blocking. The host may
// close its end of the pseudo-terminal and open it again: meanwhile the line is looked at now
// and then, and its settings go back to those of a fresh line.
class FdLine : public Line {
public:
    FdLine(int fd, bool serial) : fd_(fd), serial_(serial) {}

    Ready wait(bool want_write, int timeout_ms) override
    {
        Ready ready;
        ready.stop = g_stop != 0;
        if (ready.stop)
            return ready;
        pollfd p{fd_, POLLIN, 0};
        if (want_write)
            p.events |= POLLOUT;
        if (absent_) {
            timeout_ms = timeout_ms < 0 ? ABSENT_POLL_MS : std::min(timeout_ms, ABSENT_POLL_MS);
            p.events = 0;
        }
        if (poll(&p, absent_ ? 0 : 1, timeout_ms) < 0) {
            if (errno != EINTR)
                fail("poll");
            ready.stop = g_stop != 0;
            return ready;
        }
        absent_ = false;
        ready.writable = (p.revents & POLLOUT) != 0;
        if (serial_ && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN))
            absent_ = true; // nobody holds the other end now, or not yet
        else
            ready.readable = (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        return ready;
    }

    long read(uint8_t* bytes, size_t size) override
    {
        const ssize_t n = ::read(fd_, bytes, size);
        if (serial_ && n < 0 && errno == EIO) { // the host closed its end; it may open it again
            if (present_)
                reset_line(fd_); // so that its next open changes them as on a new port
            present_ = false;
            absent_ = true;
            return LATER;
        }
        if (n < 0)
            return errno == EINTR || errno == EAGAIN ? LATER : GONE;
        if (n > 0)
            present_ = true;
        return n;
    }

    bool host_at_start() const override { return !serial_; }

    long write(const uint8_t* bytes, size_t size) override
    {
        const ssize_t n = ::write(fd_, bytes, size);
        if (n >= 0)
            return n;
        if (errno == EAGAIN || errno == EINTR)
            return LATER;
        return serial_ && errno == EIO ? LOST : GONE;
    }

private:
    static constexpr int ABSENT_POLL_MS = 20;

    int fd_;
    bool serial_;
    bool absent_ = false;
    bool present_ = false; // the host has sent something since it opened the line
};

void set_nonblocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        fail("fcntl");
}

// Waits, as long as no stop is asked for.
void pause_for(int ms)
{
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    for (int left; !g_stop && (left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                           until - Clock::now()).count())) > 0;)
        poll(nullptr, 0, left);
}

int tcp_listener(int port, sockaddr_in& addr)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        fail("socket");
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0)
        fail("bind");
    if (listen(listener, 5) < 0)
        fail("listen");
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    return listener;
}

} // namespace

long serve_tcp(const Options& o, Context& context)
{
    sockaddr_in addr{};
    int listener = tcp_listener(o.port, addr);
    const int port = ntohs(addr.sin_port);
    say("tcp on 127.0.0.1:" + std::to_string(port));
    say("ready");

    long answered = 0;
    const int one = 1;
    while (!g_stop) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            fail("accept");
        }
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        set_nonblocking(fd);
        say("connected");
        FdLine line(fd, false);
        Session session(line, o, context);
        answered += session.run();
        close(fd);
        if (!session.dropped() && !g_stop) {
            say("peer closed the connection");
        }
        if (o.once)
            break;
        if (session.unplug_ms() > 0) { // nobody listens meanwhile: connections are refused
            close(listener);
            say("unplugged for " + std::to_string(session.unplug_ms()) + " ms");
            pause_for(session.unplug_ms());
            listener = tcp_listener(port, addr);
            say("listening again");
        }
    }
    close(listener);
    return answered;
}

// A line dropped by the module (--drop-after, a replayed drop) hangs up this long after its last
// answer went out, so that the host has read it (also on a loaded machine).
constexpr int DROP_GRACE_MS = 500;

long serve_serial(const Options& o, Context& context)
{
    long answered = 0;
    for (bool first = true; !g_stop; first = false) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0)
            fail("posix_openpt");
        const char* name = ptsname(master);
        if (!name)
            fail("ptsname");
        const std::string path = name;
        // The line starts raw, whatever the host sets. The other end is not held open here, so
        // the host's open and close behave as on a serial port of its own.
        reset_line(master);
        set_nonblocking(master);
        int held = -1;
        if (o.hold && (held = open(path.c_str(), O_RDWR | O_NOCTTY)) < 0)
            fail("open pseudo-terminal");
        if (!o.link.empty()) {
            const std::string fresh = o.link + ".new";
            unlink(fresh.c_str());
            if (symlink(path.c_str(), fresh.c_str()) != 0 || rename(fresh.c_str(), o.link.c_str()) != 0)
                fail("symlink");
        }
        say("serial on " + path);
        if (first) {
            const std::string& port = o.link.empty() ? path : o.link;
            say("host command line: ormactl --mode 1 --device " + port + " send 01");
            say("ready");
        }
        FdLine line(master, true);
        Session session(line, o, context);
        answered += session.run();
        // A hang-up drops what the host has not read yet: a drop after an answer lets it read first.
        if (session.dropped() && session.unplug_ms() <= 0)
            pause_for(DROP_GRACE_MS);
        if (held >= 0)
            close(held);
        close(master); // the host's end hangs up
        if (!o.link.empty())
            unlink(o.link.c_str());
        if (session.unplug_ms() <= 0) {
            if (session.dropped())
                continue; // a drop hangs the line up; a new one follows at once (--link finds it)
            break;
        }
        say("unplugged for " + std::to_string(session.unplug_ms()) + " ms");
        pause_for(session.unplug_ms());
    }
    return answered;
}

} // namespace sim
