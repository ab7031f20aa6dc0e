// The TCP transport's socket calls over BSD sockets. A read without a limit waits in recv()
// itself, one system call per chunk, and a stop wakes it by shutting the socket's reading side;
// every other wait runs in poll() together with a pipe through which a stop wakes it.
#include "link/link_ops.h"
#include "link/tcp_os.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "link/tcp_resolve.h" // after the system headers: it uses their resolver

struct TcpOs {
    std::atomic<int> primary{-1}; // listening socket (server) or connected socket (client)
    std::atomic<int> data{-1};    // the socket that carries the stream
    // A stop may wake the link from another thread while the link's own thread makes or closes
    // the pipe (an attempt to connect again): the pipe's ends change only under the lock.
    std::mutex wake_lock;
    int wake_pipe[2] = {-1, -1};
    std::atomic<int> wake_read{-1};
    std::atomic<bool> woken{false};
};

static_assert(LINK_WAIT_FOREVER == -1, "poll() takes the same value for no limit");

namespace {

// A connection to a peer on this machine is made at once or refused; the bound only keeps a
// lost SYN (a full backlog) from holding the link's thread.
constexpr int CONNECT_LIMIT_MS = 2000;

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

int tcp_os_startup(TcpOs*)
{
    return 0; // nothing to start; the wake pipe comes with the socket
}

bool tcp_os_resolve(const char* host, uint16_t port, TcpOsPeer* peer, int* error)
{
    return tcp_resolve_first(host, port, peer, error, EAI_FAMILY);
}

bool tcp_os_socket(TcpOs* os, int family)
{
    {
        std::lock_guard lock(os->wake_lock);
        if (::pipe2(os->wake_pipe, O_CLOEXEC) != 0)
            return false;
        os->wake_read = os->wake_pipe[0];
    }
    const int fd = ::socket(family ? family : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

// Connects without blocking, so that a wake ends the attempt at once; the socket is blocking
// again afterwards.
bool tcp_os_connect(TcpOs* os, const TcpOsPeer& peer)
{
    const int fd = os->primary.load();
    os->data = fd;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(peer.address), static_cast<socklen_t>(peer.length)) == 0;
    if (!connected && errno == EINPROGRESS) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(CONNECT_LIMIT_MS);
        pollfd fds[2] = {{fd, POLLOUT, 0}, {os->wake_read, POLLIN, 0}};
        int error = ETIMEDOUT;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (os->woken) {
                error = EINTR;
                break;
            }
            if (left.count() <= 0)
                break;
            const int n = ::poll(fds, 2, static_cast<int>(left.count()));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = errno;
                break;
            }
            if (fds[0].revents) {
                socklen_t size = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                    error = errno;
                connected = error == 0;
                break;
            }
        }
        errno = error;
    }
    const int saved = errno;
    ::fcntl(fd, F_SETFL, flags);
    errno = saved;
    return connected;
}

int tcp_os_error()
{
    return errno;
}

void tcp_os_shutdown(TcpOs* os)
{
    // Closed under the lock: a wake never shuts a number that the process has given to another
    // file meanwhile.
    std::lock_guard lock(os->wake_lock);
    if (os->data == os->primary)
        os->data = -1;
    close_fd(os->data);
    close_fd(os->primary);
    os->wake_read = -1;
    for (int& fd : os->wake_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    os->woken = false; // the next open starts awake
}

// Sends without blocking and waits for room in poll(), beside the wake pipe: a stop ends the wait
// at once. A peer that has gone must not end the host process with SIGPIPE.
int tcp_os_send(TcpOs* os, const uint8_t* bytes, int count, int limit_ms, int* error)
{
    const int fd = os->data;
    if (fd < 0) {
        *error = EBADF;
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    int done = 0;
    while (done < count) {
        if (os->woken)
            return TCP_OS_WOKEN;
        const ssize_t n = ::send(fd, bytes + done, static_cast<size_t>(count - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            *error = errno;
            return -1;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            *error = ETIMEDOUT;
            return -1;
        }
        pollfd fds[2] = {{fd, POLLOUT, 0}, {os->wake_read, POLLIN, 0}};
        if (::poll(fds, fds[1].fd >= 0 ? 2 : 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            *error = errno;
            return -1;
        }
    }
    return done;
}

int tcp_os_recv(TcpOs* os, uint8_t* buffer, int max_count, int timeout_ms, int* error)
{
    const int fd = os->data;
    if (fd >= 0 && timeout_ms == LINK_WAIT_FOREVER) {
        if (os->woken) // a wake after this look shuts the reading side: recv() returns at once
            return TCP_OS_WOKEN;
    } else if (fd >= 0) {
        const int wake_read = os->wake_read;
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_read, POLLIN, 0}};
        for (;;) {
            if (os->woken)
                return TCP_OS_WOKEN;
            const int n = ::poll(fds, wake_read >= 0 ? 2 : 1, timeout_ms);
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
    if (n <= 0 && os->woken)
        return TCP_OS_WOKEN;
    if (n < 0) {
        *error = errno;
        return TCP_OS_RECV_FAILED;
    }
    return n == 0 ? TCP_OS_CLOSED : static_cast<int>(n);
}

void tcp_os_wake(TcpOs* os)
{
    std::lock_guard lock(os->wake_lock);
    os->woken = true;
    if (os->data >= 0)
        ::shutdown(os->data, SHUT_RD);
    if (os->wake_pipe[1] >= 0) {
        const uint8_t byte = 1;
        [[maybe_unused]] ssize_t n = ::write(os->wake_pipe[1], &byte, 1);
    }
}
