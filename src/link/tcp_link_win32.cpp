// The TCP transport over Windows Sockets 2. Receiving is overlapped, so that a stop can wake the
// receive thread from its wait through an event.
#include "link/tcp_link.h"

#include "support/console.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>

namespace {

struct TcpLink {
    int32_t role = TCP_ROLE_CLIENT;
    sockaddr_in address{};
    std::atomic<SOCKET> primary{INVALID_SOCKET}; // listening (server) or connected (client)
    std::atomic<SOCKET> data{INVALID_SOCKET};    // the socket that carries the stream
    HANDLE recv_event = nullptr;
    HANDLE wake_event = nullptr;
    std::atomic<bool> woken{false};
    bool started = false; // Windows Sockets started by tcp_open
};

TcpLink g_tcp;

TcpLink* link_of(void* context)
{
    return static_cast<TcpLink*>(context);
}

void close_events(TcpLink* link)
{
    for (HANDLE* event : {&link->recv_event, &link->wake_event}) {
        if (*event)
            CloseHandle(*event);
        *event = nullptr;
    }
}

// Closes both sockets and stops Windows Sockets. The sockets are closed one by one, as the host
// may use Windows Sockets itself, and then stopping them releases nothing.
void stop_sockets(TcpLink* link)
{
    const SOCKET data = link->data.exchange(INVALID_SOCKET);
    const SOCKET primary = link->primary.exchange(INVALID_SOCKET);
    if (data != INVALID_SOCKET && data != primary)
        closesocket(data);
    if (primary != INVALID_SOCKET)
        closesocket(primary);
    if (link->started)
        WSACleanup();
    link->started = false;
}

int fail_open(TcpLink* link, const char* format)
{
    console_print(ConsoleStream::Err, format, WSAGetLastError()); // before closing changes it
    stop_sockets(link);
    close_events(link);
    return -1;
}

// One overlapped receive, waiting at most the limit (INFINITE: no limit). As recv: the count,
// 0 when the limit passed, -1 when it failed, the peer closed or the link was woken.
int receive(TcpLink* link, uint8_t* buffer, int max_count, DWORD timeout_ms, bool timed)
{
    if (max_count < 1)
        return 0;
    if (link->woken)
        return -1;
    const SOCKET s = link->data;
    WSABUF chunk{static_cast<ULONG>(max_count), reinterpret_cast<char*>(buffer)};
    DWORD count = 0;
    DWORD flags = 0;
    WSAOVERLAPPED overlapped{};
    overlapped.hEvent = link->recv_event;
    if (link->recv_event)
        ResetEvent(link->recv_event);
    if (s == INVALID_SOCKET || !link->recv_event) {
        console_print(ConsoleStream::Err, "recv() failed: error %d\n", WSAENOTSOCK);
        return -1;
    }
    if (WSARecv(s, &chunk, 1, &count, &flags, &overlapped, nullptr) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error != WSA_IO_PENDING) {
            if (!link->woken)
                console_print(ConsoleStream::Err, "recv() failed: error %d\n", error);
            return -1;
        }
        HANDLE events[2] = {link->recv_event, link->wake_event};
        const DWORD waited = WaitForMultipleObjects(2, events, FALSE, timeout_ms);
        if (waited != WAIT_OBJECT_0) {
            // Woken, timed out or the wait failed: cancel, and take what may have arrived.
            const int wait_error = waited == WAIT_FAILED ? static_cast<int>(GetLastError()) : 0;
            CancelIoEx(reinterpret_cast<HANDLE>(s), &overlapped);
            const BOOL done = WSAGetOverlappedResult(s, &overlapped, &count, TRUE, &flags);
            if (waited == WAIT_FAILED) {
                console_print(ConsoleStream::Err, timed ? "select() failed %d\n" : "recv() failed: error %d\n",
                              wait_error);
                return -1;
            }
            if (link->woken)
                return -1;
            if (!done || count == 0)
                return 0; // the limit passed without data
            return static_cast<int>(count);
        }
        if (!WSAGetOverlappedResult(s, &overlapped, &count, FALSE, &flags)) {
            error = WSAGetLastError();
            if (!link->woken)
                console_print(ConsoleStream::Err, "recv() failed: error %d\n", error);
            return -1;
        }
    }
    if (count == 0) {
        console_print(ConsoleStream::Out, "Remote instance closed connection\n");
        if (link->primary == s)
            link->primary = INVALID_SOCKET; // the client's primary socket is the data socket
        link->data = INVALID_SOCKET;
        closesocket(s);
        return -1;
    }
    return static_cast<int>(count);
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
    WSADATA wsa;
    const int started = WSAStartup(MAKEWORD(2, 2), &wsa);
    if (started != 0) {
        console_print(ConsoleStream::Err, "WSAStartup failed with error %d\n", started);
        return -1;
    }
    link->started = true;
    link->recv_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    link->wake_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET || !link->recv_event || !link->wake_event)
        return fail_open(link, "socket() failed with error %d\n");
    link->primary = s;
    if (link->role == TCP_ROLE_SERVER) {
        if (bind(s, reinterpret_cast<const sockaddr*>(&link->address), sizeof link->address) == SOCKET_ERROR)
            return fail_open(link, "bind() failed with error %d\n");
        if (listen(s, 5) == SOCKET_ERROR)
            return fail_open(link, "listen() failed with error %d\n");
        console_print(ConsoleStream::Out, "Server listening on port %d\n", ntohs(link->address.sin_port));
        sockaddr_in peer{};
        int size = sizeof peer;
        const SOCKET accepted = accept(s, reinterpret_cast<sockaddr*>(&peer), &size);
        if (accepted == INVALID_SOCKET)
            return fail_open(link, "accept() error %d\n");
        link->data = accepted;
        console_print(ConsoleStream::Out, "accepted connection from %s, port %d\n", inet_ntoa(peer.sin_addr),
                      ntohs(peer.sin_port));
        return 0;
    }
    link->data = s;
    console_print(ConsoleStream::Out, "Client connecting to: %s\n", inet_ntoa(link->address.sin_addr));
    if (connect(s, reinterpret_cast<const sockaddr*>(&link->address), sizeof link->address) == SOCKET_ERROR)
        return fail_open(link, "connect() failed: %d\n");
    return 0;
}

int tcp_close(void* context)
{
    TcpLink* link = link_of(context);
    stop_sockets(link);
    close_events(link);
    return 0;
}

int tcp_send(void* context, const uint8_t* bytes, int count)
{
    TcpLink* link = link_of(context);
    const int sent = send(link->data, reinterpret_cast<const char*>(bytes), count, 0);
    if (sent == SOCKET_ERROR) {
        console_print(ConsoleStream::Err, "send() failed: error %d\n", WSAGetLastError());
        return -1;
    }
    return sent;
}

int tcp_recv(void* context, uint8_t* buffer, int max_count)
{
    return receive(link_of(context), buffer, max_count, INFINITE, false);
}

int tcp_recv_timeout(void* context, uint8_t* buffer, int max_count, int timeout_ms)
{
    return receive(link_of(context), buffer, max_count, timeout_ms < 0 ? 0 : static_cast<DWORD>(timeout_ms), true);
}

int tcp_wake(void* context)
{
    TcpLink* link = link_of(context);
    link->woken = true;
    if (link->wake_event)
        SetEvent(link->wake_event);
    return 0;
}
