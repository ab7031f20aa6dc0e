// The TCP transport over BSD sockets. A pipe lets a stop wake the receive thread from its wait.
#include "link/tcp_link.h"

#include "support/console.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

struct TcpLink {
    int32_t role = TCP_ROLE_CLIENT;
    sockaddr_in address{};
    std::atomic<int> primary{-1}; // listening socket (server) or connected socket (client)
    std::atomic<int> data{-1};    // the socket that carries the stream
    int wake_pipe[2] = {-1, -1};
    std::atomic<bool> woken{false};
};

TcpLink g_tcp;

TcpLink* link_of(void* context)
{
    return static_cast<TcpLink*>(context);
}

void close_fd(std::atomic<int>& fd)
{
    const int old = fd.exchange(-1);
    if (old >= 0)
        ::close(old);
}

void close_wake_pipe(TcpLink* link)
{
    for (int& fd : link->wake_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

int fail_open(TcpLink* link, const char* format)
{
    console_print(ConsoleStream::Err, format, errno);
    close_fd(link->data);
    close_fd(link->primary);
    close_wake_pipe(link);
    return -1;
}

// Waits until the data socket is readable, the link is woken or the limit (-1: none) passes.
// 1 readable, 0 time-out, -1 woken or no socket, -2 the wait failed (errno set).
int wait_readable(TcpLink* link, int fd, int timeout_ms)
{
    pollfd fds[2] = {{fd, POLLIN, 0}, {link->wake_pipe[0], POLLIN, 0}};
    for (;;) {
        if (link->woken)
            return -1;
        const int n = ::poll(fds, link->wake_pipe[0] >= 0 ? 2 : 1, timeout_ms);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -2;
        if (link->woken)
            return -1;
        return n == 0 ? 0 : 1;
    }
}

int receive(TcpLink* link, uint8_t* buffer, int max_count)
{
    const int fd = link->data;
    ssize_t n;
    do
        n = fd >= 0 ? ::recv(fd, buffer, static_cast<size_t>(max_count), 0) : (errno = EBADF, -1);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (!link->woken)
            console_print(ConsoleStream::Err, "recv() failed: error %d\n", errno);
        return -1;
    }
    if (n == 0) {
        console_print(ConsoleStream::Out, "Remote instance closed connection\n");
        if (link->primary == fd)
            link->primary = -1; // the client's primary socket is the data socket
        close_fd(link->data);
        return -1;
    }
    return static_cast<int>(n);
}

} // namespace

void* tcp_context()
{
    return &g_tcp;
}

int tcp_init(void* context, const char* address, uint16_t port, int32_t role)
{
    TcpLink* link = link_of(context);
    link->role = role;
    link->address = sockaddr_in{};
    link->address.sin_family = AF_INET;
    link->address.sin_port = htons(port);
    link->address.sin_addr.s_addr = inet_addr(address ? address : TCP_DEFAULT_ADDRESS);
    return 0;
}

int tcp_open(void* context)
{
    TcpLink* link = link_of(context);
    link->woken = false;
    if (::pipe2(link->wake_pipe, O_CLOEXEC) != 0)
        return fail_open(link, "socket() failed with error %d\n");
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail_open(link, "socket() failed with error %d\n");
    link->primary = fd;
    char text[INET_ADDRSTRLEN] = "";
    if (link->role == TCP_ROLE_SERVER) {
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&link->address), sizeof link->address) != 0)
            return fail_open(link, "bind() failed with error %d\n");
        if (::listen(fd, 5) != 0)
            return fail_open(link, "listen() failed with error %d\n");
        console_print(ConsoleStream::Out, "Server listening on port %d\n", ntohs(link->address.sin_port));
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        int accepted;
        do
            accepted = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
        while (accepted < 0 && errno == EINTR);
        if (accepted < 0)
            return fail_open(link, "accept() error %d\n");
        link->data = accepted;
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        console_print(ConsoleStream::Out, "accepted connection from %s, port %d\n", text, ntohs(peer.sin_port));
        return 0;
    }
    link->data = fd;
    ::inet_ntop(AF_INET, &link->address.sin_addr, text, sizeof text);
    console_print(ConsoleStream::Out, "Client connecting to: %s\n", text);
    int result;
    do
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&link->address), sizeof link->address);
    while (result != 0 && errno == EINTR);
    if (result != 0)
        return fail_open(link, "connect() failed: %d\n");
    return 0;
}

int tcp_close(void* context)
{
    TcpLink* link = link_of(context);
    if (link->data == link->primary)
        link->data = -1;
    close_fd(link->data);
    close_fd(link->primary);
    close_wake_pipe(link);
    return 0;
}

int tcp_send(void* context, const uint8_t* bytes, int count)
{
    TcpLink* link = link_of(context);
    const int fd = link->data;
    ssize_t n;
    do // a peer that has gone must not end the host process with SIGPIPE
        n = fd >= 0 ? ::send(fd, bytes, static_cast<size_t>(count), MSG_NOSIGNAL) : (errno = EBADF, -1);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        console_print(ConsoleStream::Err, "send() failed: error %d\n", errno);
        return -1;
    }
    return static_cast<int>(n);
}

int tcp_recv(void* context, uint8_t* buffer, int max_count)
{
    TcpLink* link = link_of(context);
    if (max_count < 1)
        return 0;
    const int fd = link->data;
    if (fd >= 0) {
        const int ready = wait_readable(link, fd, -1);
        if (ready == -1)
            return -1;
        if (ready == -2) {
            console_print(ConsoleStream::Err, "recv() failed: error %d\n", errno);
            return -1;
        }
    }
    return receive(link, buffer, max_count);
}

int tcp_recv_timeout(void* context, uint8_t* buffer, int max_count, int timeout_ms)
{
    TcpLink* link = link_of(context);
    if (max_count < 1)
        return 0;
    const int fd = link->data;
    if (fd >= 0) {
        const int ready = wait_readable(link, fd, timeout_ms < 0 ? 0 : timeout_ms);
        if (ready == -1)
            return -1;
        if (ready == -2) {
            console_print(ConsoleStream::Err, "select() failed %d\n", errno);
            return -1;
        }
        if (ready == 0)
            return 0;
    }
    return receive(link, buffer, max_count);
}

int tcp_wake(void* context)
{
    TcpLink* link = link_of(context);
    link->woken = true;
    if (link->wake_pipe[1] >= 0) {
        const uint8_t byte = 1;
        [[maybe_unused]] ssize_t n = ::write(link->wake_pipe[1], &byte, 1);
    }
    return 0;
}
