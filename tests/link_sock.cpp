// The TCP peer of the link tests; the few calls that differ per OS come from the header that the
// build names in ORMA_TEST_SOCK_OS (link_sock_posix.h, link_sock_win32.h).
#include "link_sock.h"

#include ORMA_TEST_SOCK_OS

namespace testsock {

namespace {
os::Native native(Socket s)
{
    return static_cast<os::Native>(s);
}
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
    FD_SET(native(s), &set);
    timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return ::select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &limit) > 0;
}
} // namespace

bool init()
{
    return os::start();
}

Socket listen_loopback(uint16_t* port, int backlog)
{
    const auto s = static_cast<Socket>(::socket(AF_INET, SOCK_STREAM, 0));
    const int on = 1; // the port of a connection just closed may be listened on again at once
    ::setsockopt(native(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in a = loopback(*port);
    os::AddressLength size = sizeof a;
    if (::bind(native(s), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(native(s), backlog) != 0 ||
        ::getsockname(native(s), reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        close(s);
        return NONE;
    }
    *port = ntohs(a.sin_port);
    return s;
}

Socket accept_one(Socket listener, int timeout_ms)
{
    return readable(listener, timeout_ms) ? static_cast<Socket>(::accept(native(listener), nullptr, nullptr)) : NONE;
}

bool send_all(Socket s, const std::vector<uint8_t>& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const auto n = ::send(native(s), reinterpret_cast<const char*>(bytes.data()) + done,
                              static_cast<int>(bytes.size() - done), os::SEND_FLAGS);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

Socket connect_loopback(uint16_t port)
{
    const auto s = static_cast<Socket>(::socket(AF_INET, SOCK_STREAM, 0));
    os::set_nonblocking(native(s));
    const sockaddr_in a = loopback(port);
    ::connect(native(s), reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return s;
}

std::vector<uint8_t> receive_some(Socket s, int timeout_ms)
{
    char chunk[512];
    if (!readable(s, timeout_ms))
        return {};
    const auto n = ::recv(native(s), chunk, sizeof chunk, 0);
    return n > 0 ? std::vector<uint8_t>(chunk, chunk + n) : std::vector<uint8_t>{};
}

void close(Socket s)
{
    if (s != NONE)
        os::close(native(s));
}

uint16_t free_port()
{
    uint16_t port = 0;
    close(listen_loopback(&port));
    return port;
}

} // namespace testsock
