// The TCP transport's socket calls over BSD sockets. Waits for data run in poll() together with
// a pipe through which a stop wakes the receive thread.
#include "link/link_ops.h"
#include "link/tcp_os.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

struct TcpOs {
    std::atomic<int> primary{-1}; // listening socket (server) or connected socket (client)
    std::atomic<int> data{-1};    // the socket that carries the stream
    int wake_pipe[2] = {-1, -1};
    std::atomic<bool> woken{false};
};

static_assert(LINK_WAIT_FOREVER == -1, "poll() takes the same value for no limit");

namespace {

TcpOs g_os;

void close_fd(std::atomic<int>& fd)
{
    const int old = fd.exchange(-1);
    if (old >= 0)
        ::close(old);
}

// Repeats a call that a signal interrupted.
template <typename Call>
auto no_eintr(Call call)
{
    auto result = call();
    while (result < 0 && errno == EINTR)
        result = call();
    return result;
}

sockaddr_in socket_address(uint32_t address, uint16_t port)
{
    return sockaddr_in{AF_INET, htons(port), in_addr{address}, {}};
}

} // namespace

TcpOs* tcp_os_link()
{
    return &g_os;
}

uint32_t tcp_os_address(const char* dotted)
{
    return ::inet_addr(dotted);
}

void tcp_os_address_text(uint32_t address, char* text, int size)
{
    in_addr a{};
    a.s_addr = address;
    if (!::inet_ntop(AF_INET, &a, text, static_cast<socklen_t>(size)) && size > 0)
        text[0] = '\0';
}

int tcp_os_startup(TcpOs* os)
{
    os->woken = false;
    return 0; // nothing to start; the wake pipe comes with the socket
}

bool tcp_os_socket(TcpOs* os)
{
    if (::pipe2(os->wake_pipe, O_CLOEXEC) != 0)
        return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    os->primary = fd;
    return fd >= 0;
}

bool tcp_os_bind(TcpOs* os, uint32_t address, uint16_t port)
{
    const int on = 1;
    ::setsockopt(os->primary, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in a = socket_address(address, port);
    return ::bind(os->primary, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

bool tcp_os_listen(TcpOs* os, int backlog)
{
    return ::listen(os->primary, backlog) == 0;
}

bool tcp_os_accept(TcpOs* os, uint32_t* peer_address, uint16_t* peer_port)
{
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    os->data = no_eintr([&] { return ::accept4(os->primary, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC); });
    *peer_address = peer.sin_addr.s_addr;
    *peer_port = ntohs(peer.sin_port);
    return os->data >= 0;
}

bool tcp_os_connect(TcpOs* os, uint32_t address, uint16_t port)
{
    os->data = os->primary.load();
    const sockaddr_in a = socket_address(address, port);
    return no_eintr([&] { return ::connect(os->data, reinterpret_cast<const sockaddr*>(&a), sizeof a); }) == 0;
}

int tcp_os_error()
{
    return errno;
}

void tcp_os_shutdown(TcpOs* os)
{
    if (os->data == os->primary)
        os->data = -1;
    close_fd(os->data);
    close_fd(os->primary);
    for (int& fd : os->wake_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

int tcp_os_send(TcpOs* os, const uint8_t* bytes, int count, int* error)
{
    const int fd = os->data;
    // A peer that has gone must not end the host process with SIGPIPE.
    const ssize_t n =
        no_eintr([&] { return fd >= 0 ? ::send(fd, bytes, static_cast<size_t>(count), MSG_NOSIGNAL) : (errno = EBADF, -1); });
    if (n < 0)
        *error = errno;
    return n < 0 ? -1 : static_cast<int>(n);
}

int tcp_os_recv(TcpOs* os, uint8_t* buffer, int max_count, int timeout_ms, int* error)
{
    const int fd = os->data;
    if (fd >= 0) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {os->wake_pipe[0], POLLIN, 0}};
        for (;;) {
            if (os->woken)
                return TCP_OS_WOKEN;
            const int n = ::poll(fds, os->wake_pipe[0] >= 0 ? 2 : 1, timeout_ms);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                *error = errno;
                return TCP_OS_WAIT_FAILED;
            }
            if (os->woken)
                return TCP_OS_WOKEN;
            if (n == 0)
                return TCP_OS_TIMEOUT;
            break;
        }
    }
    const ssize_t n =
        no_eintr([&] { return fd >= 0 ? ::recv(fd, buffer, static_cast<size_t>(max_count), 0) : (errno = EBADF, -1); });
    if (n < 0) {
        *error = errno;
        return os->woken ? TCP_OS_WOKEN : TCP_OS_RECV_FAILED;
    }
    return n == 0 ? TCP_OS_CLOSED : static_cast<int>(n);
}

void tcp_os_close_data(TcpOs* os)
{
    if (os->primary == os->data)
        os->primary = -1; // the client's primary socket is the data socket
    close_fd(os->data);
}

void tcp_os_wake(TcpOs* os)
{
    os->woken = true;
    if (os->wake_pipe[1] >= 0) {
        const uint8_t byte = 1;
        [[maybe_unused]] ssize_t n = ::write(os->wake_pipe[1], &byte, 1);
    }
}
