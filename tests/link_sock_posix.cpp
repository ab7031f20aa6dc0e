#include "link_sock.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsock {

namespace {
sockaddr_in loopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}
bool readable(Socket s, int timeout_ms)
{
    pollfd p{static_cast<int>(s), POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) > 0;
}
} // namespace

bool init()
{
    return true;
}

Socket listen_loopback(uint16_t* port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = loopback(*port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 5) != 0) {
        ::close(s);
        return NONE;
    }
    socklen_t size = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
    *port = ntohs(a.sin_port);
    return s;
}

Socket accept_one(Socket listener, int timeout_ms)
{
    if (!readable(listener, timeout_ms))
        return NONE;
    return ::accept(static_cast<int>(listener), nullptr, nullptr);
}

Socket connect_loopback(uint16_t port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return NONE;
    }
    return s;
}

bool send_all(Socket s, const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(static_cast<int>(s), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

int recv_some(Socket s, uint8_t* buffer, int max_count, int timeout_ms)
{
    if (!readable(s, timeout_ms))
        return 0;
    const ssize_t n = ::recv(static_cast<int>(s), buffer, static_cast<size_t>(max_count), 0);
    return n > 0 ? static_cast<int>(n) : -1;
}

void close(Socket s)
{
    if (s != NONE)
        ::close(static_cast<int>(s));
}

uint16_t free_port()
{
    uint16_t port = 0;
    close(listen_loopback(&port));
    return port;
}

} // namespace testsock
