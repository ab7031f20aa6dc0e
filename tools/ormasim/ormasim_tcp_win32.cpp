// ormasim for Windows, TCP role: plays the receiver module for mode 2 on 127.0.0.1, through
// Windows Sockets, so that a Windows user can try the library with nothing but the archive. One
// connection's work is the portable Session (sim_session.cpp), as in the Linux build; this file
// holds the socket calls under it and the server around it. See --help.
#include "ormasim_win32.h"
#include "sim_cli.h"
#include "sim_replay.h"
#include "sim_session.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using sim::Clock;
using sim::say;

const char* const USAGE = R"(usage: ormasim [--tcp] [options]
       ormasim --usb [options]        (the USB device of modes 3 and 4: ormasim --usb --help)

Plays the receiver module at the other end of the library's TCP link (mode 2). This is the
default role of the Windows build; the serial role (--serial, --hold-line, --link) is in the
Linux build.

)";

HANDLE g_stop = nullptr; // set by Ctrl+C / Ctrl+Break / closing the console

BOOL WINAPI on_console_event(DWORD)
{
    SetEvent(g_stop);
    return TRUE;
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "ormasim: %s: error %d\n", what, WSAGetLastError());
    std::exit(1);
}

bool stopping()
{
    return WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0;
}

// An accepted connection, non-blocking: its network events and the stop event wake the wait.
class SocketLine : public sim::Line {
public:
    explicit SocketLine(SOCKET s) : s_(s), event_(WSACreateEvent())
    {
        if (event_ == WSA_INVALID_EVENT || WSAEventSelect(s_, event_, FD_READ | FD_WRITE | FD_CLOSE) != 0)
            fail("WSAEventSelect");
    }
    ~SocketLine() override { WSACloseEvent(event_); }
    SocketLine(const SocketLine&) = delete;
    SocketLine& operator=(const SocketLine&) = delete;

    // FD_WRITE comes, asked for or not, once a send that would have blocked can go on.
    Ready wait(bool, int timeout_ms) override
    {
        Ready ready;
        const HANDLE events[] = {g_stop, event_};
        // FD_CLOSE comes once: from then on recv is tried until it says the end.
        const DWORD timeout = closing_ ? 0 : timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
        const DWORD woke = WaitForMultipleObjects(2, events, FALSE, timeout);
        if (woke == WAIT_FAILED)
            fail("WaitForMultipleObjects");
        ready.stop = woke == WAIT_OBJECT_0;
        if (ready.stop)
            return ready;
        WSANETWORKEVENTS happened{};
        if (WSAEnumNetworkEvents(s_, event_, &happened) != 0)
            fail("WSAEnumNetworkEvents");
        closing_ = closing_ || (happened.lNetworkEvents & FD_CLOSE);
        ready.readable = closing_ || (happened.lNetworkEvents & FD_READ);
        ready.writable = (happened.lNetworkEvents & FD_WRITE) != 0;
        return ready;
    }

    long read(uint8_t* bytes, size_t size) override
    {
        const int n = recv(s_, reinterpret_cast<char*>(bytes), static_cast<int>(size), 0);
        if (n >= 0)
            return n;
        return WSAGetLastError() == WSAEWOULDBLOCK ? LATER : GONE;
    }

    long write(const uint8_t* bytes, size_t size) override
    {
        const int n = ::send(s_, reinterpret_cast<const char*>(bytes), static_cast<int>(size), 0);
        if (n >= 0)
            return n;
        return WSAGetLastError() == WSAEWOULDBLOCK ? LATER : GONE;
    }

private:
    SOCKET s_;
    WSAEVENT event_;
    bool closing_ = false;
};

// A listener on 127.0.0.1:port (0: a free one); `port` becomes the one it has. After 7F 07 the
// port may stay taken a little while by the connection just closed: the bind is tried again
// for up to retry_ms.
SOCKET listen_on(int& port, int retry_ms)
{
    const auto until = Clock::now() + std::chrono::milliseconds(retry_ms);
    for (;;) {
        const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (listener == INVALID_SOCKET)
            fail("socket");
        const BOOL one = TRUE;
        setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<u_short>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            if (listen(listener, 5) != 0)
                fail("listen");
            int len = sizeof addr;
            getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
            port = ntohs(addr.sin_port);
            return listener;
        }
        if (WSAGetLastError() != WSAEADDRINUSE || Clock::now() >= until)
            fail("bind");
        closesocket(listener);
        if (WaitForSingleObject(g_stop, 50) == WAIT_OBJECT_0)
            return INVALID_SOCKET;
    }
}

// The next connection, or INVALID_SOCKET once a stop is asked for.
SOCKET accept_one(SOCKET listener)
{
    const WSAEVENT ready = WSACreateEvent();
    WSAEventSelect(listener, ready, FD_ACCEPT);
    SOCKET s = INVALID_SOCKET;
    const HANDLE events[] = {g_stop, ready};
    while (s == INVALID_SOCKET && WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        WSAResetEvent(ready);
        s = accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET && WSAGetLastError() != WSAEWOULDBLOCK)
            fail("accept");
    }
    WSACloseEvent(ready);
    return s;
}

long serve(const sim::Options& o, sim::Context& context)
{
    int port = o.port;
    SOCKET listener = listen_on(port, 0);
    say("tcp on 127.0.0.1:" + std::to_string(port));
    say("ready");

    long answered = 0;
    for (SOCKET s; listener != INVALID_SOCKET && (s = accept_one(listener)) != INVALID_SOCKET;) {
        const BOOL one = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        say("connected");
        int unplug_ms = 0;
        bool dropped = false;
        {
            SocketLine line(s);
            sim::Session session(line, o, context);
            answered += session.run();
            unplug_ms = session.unplug_ms();
            dropped = session.dropped();
        }
        closesocket(s);
        if (!dropped && !stopping())
            say("peer closed the connection");
        if (o.once || stopping())
            break;
        if (unplug_ms > 0) { // nobody listens meanwhile: connections are refused
            closesocket(listener);
            say("unplugged for " + std::to_string(unplug_ms) + " ms");
            if (WaitForSingleObject(g_stop, static_cast<DWORD>(unplug_ms)) == WAIT_OBJECT_0)
                return answered;
            listener = listen_on(port, 5000);
            if (listener != INVALID_SOCKET)
                say("listening again");
        }
    }
    if (listener != INVALID_SOCKET)
        closesocket(listener);
    return answered;
}

} // namespace

int ormasim_tcp_main(int argc, char** argv)
{
    const sim::Options o = sim::parse_options(argc, argv, USAGE);
    if (o.serial || o.hold || !o.link.empty())
        sim::usage_error("the serial role (--serial, --hold-line, --link) is in the Linux build");
    sim::g_timestamps = o.timestamps;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        fail("WSAStartup");
    g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    FILE* record = nullptr;
    if (!o.record.empty() && !(record = std::fopen(o.record.c_str(), "a")))
        sim::usage_error("cannot open " + o.record);

    sim::Rng rng(o.seed);
    sim::Recording recording(o, 2);
    sim::Context context{rng, record, Clock::now(), recording.capture.get(), recording.replay.get()};
    const long answered = serve(o, context);
    if (recording.replay)
        recording.replay->report();
    say("stopped, " + std::to_string(answered) + " commands answered");
    if (record)
        std::fclose(record);
    WSACleanup();
    return 0;
}
