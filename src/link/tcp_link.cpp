// The TCP transport: roles, the sequence of opening, the console lines and the operation table.
// The socket calls are the backend's (tcp_os.h).
#include "link/tcp_link.h"

#include "link/tcp_os.h"
#include "support/console.h"

#include <cstdio>

namespace {

struct TcpLink {
    int32_t role = TCP_ROLE_CLIENT;
    char host[256] = {}; // the client's peer: a name or an IPv4 or IPv6 address
    uint32_t address = 0; // the server's: IPv4, network order
    uint16_t port = TCP_DEFAULT_PORT;
};

TcpLink g_tcp;

TcpLink* link_of(void* context)
{
    return static_cast<TcpLink*>(context);
}

int tcp_init(void* context, const char* address, uint16_t port, int32_t role)
{
    TcpLink* link = link_of(context);
    link->role = role;
    link->port = port;
    const char* host = address && *address ? address : TCP_DEFAULT_ADDRESS;
    std::snprintf(link->host, sizeof link->host, "%s", host);
    link->address = role == TCP_ROLE_SERVER ? tcp_os_address(host) : 0;
    return 0;
}

// A failed step: its line with the system's code, the sockets layer stopped.
int fail_open(TcpOs* os, const char* format)
{
    console_print(ConsoleStream::Err, format, tcp_os_error());
    tcp_os_shutdown(os);
    return LINK_FAILED;
}

int tcp_open(void* context)
{
    const TcpLink* link = link_of(context);
    TcpOs* os = tcp_os_link();
    if (const int error = tcp_os_startup(os); error != 0) {
        console_print(ConsoleStream::Err, "WSAStartup failed with error %d\n", error);
        return LINK_FAILED;
    }
    TcpOsPeer target;
    if (link->role != TCP_ROLE_SERVER) {
        int error = 0;
        if (!tcp_os_resolve(link->host, link->port, &target, &error)) {
            console_print(ConsoleStream::Err, "cannot resolve %s: error %d\n", link->host, error);
            tcp_os_shutdown(os);
            return LINK_FAILED;
        }
    }
    if (!tcp_os_socket(os, target.family))
        return fail_open(os, "socket() failed with error %d\n");
    char text[32];
    if (link->role == TCP_ROLE_SERVER) {
        if (!tcp_os_bind(os, link->address, link->port))
            return fail_open(os, "bind() failed with error %d\n");
        if (!tcp_os_listen(os, 5))
            return fail_open(os, "listen() failed with error %d\n");
        console_print(ConsoleStream::Out, "Server listening on port %d\n", link->port);
        uint32_t peer = 0;
        uint16_t peer_port = 0;
        if (!tcp_os_accept(os, &peer, &peer_port))
            return fail_open(os, "accept() error %d\n");
        tcp_os_address_text(peer, text, sizeof text);
        console_print(ConsoleStream::Out, "accepted connection from %s, port %d\n", text, peer_port);
        return LINK_OK;
    }
    console_print(ConsoleStream::Progress, "Client connecting to: %s\n", link->host);
    if (!tcp_os_connect(os, target))
        return fail_open(os, "connect() failed: %d\n");
    return LINK_OK;
}

int tcp_close(void*)
{
    tcp_os_shutdown(tcp_os_link());
    return LINK_OK;
}

int tcp_send(void*, const uint8_t* bytes, int count, int limit_ms)
{
    int error = 0;
    const int sent = tcp_os_send(tcp_os_link(), bytes, count, limit_ms, &error);
    if (sent == TCP_OS_WOKEN)
        return LINK_FAILED; // stopped or failed meanwhile: that has its own line
    if (sent < 0) {
        console_print(ConsoleStream::Err, "send() failed: error %d\n", error);
        return LINK_FAILED;
    }
    return sent;
}

// One receive, waiting at most the limit: as tcp_recv, and LINK_TIMEOUT when the limit passed.
int receive(uint8_t* buffer, int max_count, int timeout_ms)
{
    if (max_count < 1)
        return 0;
    TcpOs* os = tcp_os_link();
    int error = 0;
    const int got = tcp_os_recv(os, buffer, max_count, timeout_ms, &error);
    switch (got) {
    case TCP_OS_CLOSED:
        // The socket is closed by the link client's close, under the lock that its sends take:
        // closing it here, while the host's thread may be sending, could send into a descriptor
        // that the process has reused meanwhile.
        console_print(ConsoleStream::Out, "Remote instance closed connection\n");
        return LINK_FAILED;
    case TCP_OS_TIMEOUT:
        return LINK_TIMEOUT;
    case TCP_OS_WOKEN:
        return LINK_FAILED;
    case TCP_OS_RECV_FAILED:
        console_print(ConsoleStream::Err, "recv() failed: error %d\n", error);
        return LINK_FAILED;
    case TCP_OS_WAIT_FAILED:
        // The timed receive waits in select(); without a limit the wait is part of recv().
        if (timeout_ms == LINK_WAIT_FOREVER)
            console_print(ConsoleStream::Err, "recv() failed: error %d\n", error);
        else
            console_print(ConsoleStream::Err, "select() failed %d\n", error);
        return LINK_FAILED;
    default:
        return got;
    }
}

int tcp_recv(void*, uint8_t* buffer, int max_count)
{
    return receive(buffer, max_count, LINK_WAIT_FOREVER);
}

int tcp_recv_timeout(void*, uint8_t* buffer, int max_count, int timeout_ms)
{
    return receive(buffer, max_count, timeout_ms < 0 ? 0 : timeout_ms);
}

int tcp_wake(void*)
{
    tcp_os_wake(tcp_os_link());
    return 0;
}

} // namespace

int tcp_install(LinkOps* ops, const char* address, uint16_t port, int32_t role)
{
    *ops = LinkOps{&g_tcp, tcp_open, tcp_close, tcp_send, tcp_recv, tcp_recv_timeout, tcp_wake};
    tcp_init(&g_tcp, address, port, role);
    return 0;
}
