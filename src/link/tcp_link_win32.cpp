// The TCP transport's socket calls over Windows Sockets 2. Receiving is overlapped, so that a
// stop can wake the receive thread from its wait through an event.
#include "link/link_ops.h"
#include "link/tcp_os.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "link/tcp_resolve.h" // after the system headers: it uses their resolver

struct TcpOs {
    std::atomic<SOCKET> primary{INVALID_SOCKET}; // listening (server) or connected (client)
    std::atomic<SOCKET> data{INVALID_SOCKET};    // the socket that carries the stream
    HANDLE recv_event = nullptr;
    HANDLE send_event = nullptr; // the data socket's sends, one at a time
    // A stop may wake the link from another thread while the link's own thread makes or closes
    // the event (an attempt to connect again): the event changes only under the lock.
    std::mutex wake_lock;
    std::atomic<HANDLE> wake_event{nullptr};
    std::atomic<bool> woken{false};
    bool started = false; // Windows Sockets started by tcp_os_startup
};

namespace {

// A connection to a peer on this machine is made at once or refused (Windows takes about 2 s to
// give up on a refused one); the bound only keeps a lost SYN from holding the link's thread.
constexpr DWORD CONNECT_LIMIT_MS = 3000;

TcpOs g_os;

sockaddr_in socket_address(uint32_t address, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = address;
    return a;
}

void close_events(TcpOs* os)
{
    if (os->recv_event)
        CloseHandle(os->recv_event);
    os->recv_event = nullptr;
    if (os->send_event)
        CloseHandle(os->send_event);
    os->send_event = nullptr;
    std::lock_guard lock(os->wake_lock);
    if (HANDLE wake = os->wake_event.exchange(nullptr))
        CloseHandle(wake);
    os->woken = false; // the next open starts awake
}

} // namespace

TcpOs* tcp_os_link()
{
    return &g_os;
}

uint32_t tcp_os_address(const char* dotted)
{
    return inet_addr(dotted);
}

void tcp_os_address_text(uint32_t address, char* text, int size)
{
    in_addr a{};
    a.s_addr = address;
    std::snprintf(text, static_cast<size_t>(size), "%s", inet_ntoa(a));
}

int tcp_os_startup(TcpOs* os)
{
    WSADATA wsa;
    const int error = WSAStartup(MAKEWORD(2, 2), &wsa);
    os->started = error == 0;
    return error;
}

bool tcp_os_resolve(const char* host, uint16_t port, TcpOsPeer* peer, int* error)
{
    return tcp_resolve_first(host, port, peer, error, WSAEAFNOSUPPORT);
}

bool tcp_os_socket(TcpOs* os, int family)
{
    os->recv_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    os->send_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        std::lock_guard lock(os->wake_lock);
        os->wake_event = CreateEventA(nullptr, TRUE, os->woken ? TRUE : FALSE, nullptr);
    }
    const SOCKET s = socket(family ? family : AF_INET, SOCK_STREAM, 0);
    os->primary = s;
    return s != INVALID_SOCKET && os->recv_event && os->send_event && os->wake_event;
}

bool tcp_os_bind(TcpOs* os, uint32_t address, uint16_t port)
{
    const sockaddr_in a = socket_address(address, port);
    return bind(os->primary, reinterpret_cast<const sockaddr*>(&a), sizeof a) != SOCKET_ERROR;
}

bool tcp_os_listen(TcpOs* os, int backlog)
{
    return listen(os->primary, backlog) != SOCKET_ERROR;
}

bool tcp_os_accept(TcpOs* os, uint32_t* peer_address, uint16_t* peer_port)
{
    sockaddr_in peer{};
    int size = sizeof peer;
    os->data = accept(os->primary, reinterpret_cast<sockaddr*>(&peer), &size);
    *peer_address = peer.sin_addr.s_addr;
    *peer_port = ntohs(peer.sin_port);
    return os->data != INVALID_SOCKET;
}

// Connects without blocking, so that a wake ends the attempt at once; the socket is blocking
// again afterwards.
bool tcp_os_connect(TcpOs* os, const TcpOsPeer& peer)
{
    const SOCKET s = os->primary.load();
    os->data = s;
    if (WSAEventSelect(s, os->recv_event, FD_CONNECT) == SOCKET_ERROR)
        return false;
    bool connected = connect(s, reinterpret_cast<const sockaddr*>(peer.address), peer.length) != SOCKET_ERROR;
    int error = connected ? 0 : WSAGetLastError();
    if (!connected && error == WSAEWOULDBLOCK) {
        HANDLE events[2] = {os->recv_event, os->wake_event};
        const DWORD waited = WaitForMultipleObjects(2, events, FALSE, CONNECT_LIMIT_MS);
        WSANETWORKEVENTS happened{};
        if (waited == WAIT_OBJECT_0 && WSAEnumNetworkEvents(s, os->recv_event, &happened) == 0 &&
            (happened.lNetworkEvents & FD_CONNECT)) {
            error = happened.iErrorCode[FD_CONNECT_BIT];
            connected = error == 0;
        } else {
            error = waited == WAIT_OBJECT_0 + 1 ? WSAEINTR : WSAETIMEDOUT;
        }
    }
    WSAEventSelect(s, nullptr, 0);
    u_long blocking = 0;
    ioctlsocket(s, FIONBIO, &blocking);
    ResetEvent(os->recv_event);
    WSASetLastError(error);
    return connected;
}

int tcp_os_error()
{
    return WSAGetLastError();
}

// The sockets are closed one by one, as the host may use Windows Sockets itself, and then
// stopping them releases nothing.
void tcp_os_shutdown(TcpOs* os)
{
    const SOCKET data = os->data.exchange(INVALID_SOCKET);
    const SOCKET primary = os->primary.exchange(INVALID_SOCKET);
    if (data != INVALID_SOCKET && data != primary)
        closesocket(data);
    if (primary != INVALID_SOCKET)
        closesocket(primary);
    if (os->started)
        WSACleanup();
    os->started = false;
    close_events(os);
}

// An overlapped send, waited for beside the wake event: a stop ends the wait at once.
int tcp_os_send(TcpOs* os, const uint8_t* bytes, int count, int limit_ms, int* error)
{
    if (os->woken)
        return TCP_OS_WOKEN;
    const SOCKET s = os->data;
    if (s == INVALID_SOCKET || !os->send_event) {
        *error = WSAENOTSOCK;
        return -1;
    }
    WSABUF chunk{static_cast<ULONG>(count), reinterpret_cast<char*>(const_cast<uint8_t*>(bytes))};
    DWORD sent = 0;
    DWORD flags = 0;
    WSAOVERLAPPED overlapped{};
    overlapped.hEvent = os->send_event;
    ResetEvent(os->send_event);
    if (WSASend(s, &chunk, 1, &sent, 0, &overlapped, nullptr) == 0)
        return static_cast<int>(sent);
    *error = WSAGetLastError();
    if (*error != WSA_IO_PENDING)
        return -1;
    HANDLE events[2] = {os->send_event, os->wake_event};
    const DWORD waited = WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(limit_ms));
    if (waited != WAIT_OBJECT_0) {
        CancelIoEx(reinterpret_cast<HANDLE>(s), &overlapped);
        const BOOL done = WSAGetOverlappedResult(s, &overlapped, &sent, TRUE, &flags);
        if (done && static_cast<int>(sent) == count)
            return count;
        if (os->woken)
            return TCP_OS_WOKEN;
        *error = WSAETIMEDOUT;
        return -1;
    }
    if (!WSAGetOverlappedResult(s, &overlapped, &sent, FALSE, &flags)) {
        *error = WSAGetLastError();
        return -1;
    }
    return static_cast<int>(sent);
}

int tcp_os_recv(TcpOs* os, uint8_t* buffer, int max_count, int timeout_ms, int* error)
{
    if (os->woken)
        return TCP_OS_WOKEN;
    const SOCKET s = os->data;
    if (s == INVALID_SOCKET || !os->recv_event) {
        *error = WSAENOTSOCK;
        return TCP_OS_RECV_FAILED;
    }
    WSABUF chunk{static_cast<ULONG>(max_count), reinterpret_cast<char*>(buffer)};
    DWORD count = 0;
    DWORD flags = 0;
    WSAOVERLAPPED overlapped{};
    overlapped.hEvent = os->recv_event;
    ResetEvent(os->recv_event);
    if (WSARecv(s, &chunk, 1, &count, &flags, &overlapped, nullptr) == SOCKET_ERROR) {
        *error = WSAGetLastError();
        if (*error != WSA_IO_PENDING)
            return os->woken ? TCP_OS_WOKEN : TCP_OS_RECV_FAILED;
        HANDLE events[2] = {os->recv_event, os->wake_event};
        const DWORD limit = timeout_ms == LINK_WAIT_FOREVER ? INFINITE : static_cast<DWORD>(timeout_ms);
        const DWORD waited = WaitForMultipleObjects(2, events, FALSE, limit);
        if (waited != WAIT_OBJECT_0) {
            // Woken, timed out or the wait failed: cancel, and take what may have arrived.
            const int wait_error = waited == WAIT_FAILED ? static_cast<int>(GetLastError()) : 0;
            CancelIoEx(reinterpret_cast<HANDLE>(s), &overlapped);
            const BOOL done = WSAGetOverlappedResult(s, &overlapped, &count, TRUE, &flags);
            if (waited == WAIT_FAILED) {
                *error = wait_error;
                return TCP_OS_WAIT_FAILED;
            }
            if (os->woken)
                return TCP_OS_WOKEN;
            return done && count > 0 ? static_cast<int>(count) : TCP_OS_TIMEOUT;
        }
        if (!WSAGetOverlappedResult(s, &overlapped, &count, FALSE, &flags)) {
            *error = WSAGetLastError();
            return os->woken ? TCP_OS_WOKEN : TCP_OS_RECV_FAILED;
        }
    }
    return count == 0 ? TCP_OS_CLOSED : static_cast<int>(count);
}

void tcp_os_wake(TcpOs* os)
{
    std::lock_guard lock(os->wake_lock);
    os->woken = true;
    if (HANDLE wake = os->wake_event.load())
        SetEvent(wake);
}
