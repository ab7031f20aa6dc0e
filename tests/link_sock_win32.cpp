#include "link_sock.h"

#include <winsock2.h>
#include <ws2tcpip.h>

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
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(s), &set);
    timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &limit) > 0;
}
} // namespace

bool init()
{
    WSADATA wsa; // one start for the whole test program, never stopped
    return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
}

Socket listen_loopback(uint16_t* port)
{
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(*port);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 5) != 0) {
        closesocket(s);
        return NONE;
    }
    int size = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
    *port = ntohs(a.sin_port);
    return static_cast<Socket>(s);
}

Socket accept_one(Socket listener, int timeout_ms)
{
    if (!readable(listener, timeout_ms))
        return NONE;
    const SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? NONE : static_cast<Socket>(s);
}

Socket connect_loopback(uint16_t port)
{
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        closesocket(s);
        return NONE;
    }
    return static_cast<Socket>(s);
}

bool send_all(Socket s, const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const int n = send(static_cast<SOCKET>(s), reinterpret_cast<const char*>(bytes.data()) + done,
                           static_cast<int>(bytes.size() - done), 0);
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
    const int n = recv(static_cast<SOCKET>(s), reinterpret_cast<char*>(buffer), max_count, 0);
    return n > 0 ? n : -1;
}

void close(Socket s)
{
    if (s != NONE)
        closesocket(static_cast<SOCKET>(s));
}

uint16_t free_port()
{
    uint16_t port = 0;
    close(listen_loopback(&port));
    return port;
}

} // namespace testsock
