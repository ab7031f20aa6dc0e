// ormasim for Windows, TCP role: plays the receiver module for mode 2 on 127.0.0.1, through
// Windows Sockets, so that a Windows user can try the library with nothing but the archive. The
// module's answers, notifications and garbling come from the portable core, as in the Linux
// build; the serial role stays a Linux one. See --help.
#include "ormasim_win32.h"
#include "sim_cli.h"
#include "sim_core.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <getopt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

namespace {

using sim::number_arg;
using sim::say;
using sim::usage_error;

const char* const HELP = R"(usage: ormasim [--tcp] [options]
       ormasim --usb [options]        (the USB device of modes 3 and 4: ormasim --usb --help)

Plays the receiver module at the other end of the library's TCP link (mode 2): a server on
127.0.0.1 that serves one connection at a time. This is the default role of the Windows build;
the serial role is in the Linux build.

Options may be given in any order; numbers are decimal.
  --tcp               the TCP role (the default)
  --port N            TCP port (default 5002; 0 picks a free one, printed on the ready line)
  --once              exit when the first connection ends
  --notify MS         send notifications every MS milliseconds from the start of a connection
  --noise N           up to N random bytes before every frame, start bytes among them
  --split N           cut every frame (with its noise) into up to N separate writes
  --bad-checksum K    every K-th answer goes out with a wrong checksum
  --silent-after N    answer the first N commands of a connection, then nothing
  --drop-after N      close the connection after answering its N-th command
  --seed N            seed of the random choices (default 1)
  --record FILE       append every received frame to FILE, one line of hex each
  -v, --verbose       print every frame received and sent ("ormasim: rx ..."/"ormasim: tx ...")
  -t, --timestamps    begin each line with the time of day
  -V, --version       print the version

Answers, control commands (7F 01 to 7F 06) and notifications are those of the Linux build (see
its --help): every command with code below 0x80 is answered with the code 0x80 | (code & 0x3F)
and its payload echoed. A line "ormasim: ready" follows once it listens; Ctrl+C stops it with
"ormasim: stopped, N commands answered".
)";

struct Options {
    int port = 5002;
    bool once = false;
    int noise = 0;
    int split = 1;
    long bad_checksum = 0;
    long silent_after = -1;
    long drop_after = -1;
    int notify_ms = 0;
    uint64_t seed = 1;
    std::string record;
    bool verbose = false;
    bool timestamps = false;
};

Options parse_options(int argc, char** argv)
{
    enum { TCP = 256, SERIAL, PORT, ONCE, NOISE, SPLIT, BAD, SILENT_AFTER, DROP, NOTIFY, SEED, RECORD };
    const std::initializer_list<option> own = {
        {"tcp", no_argument, nullptr, TCP},
        {"serial", no_argument, nullptr, SERIAL},
        {"port", required_argument, nullptr, PORT},
        {"once", no_argument, nullptr, ONCE},
        {"noise", required_argument, nullptr, NOISE},
        {"split", required_argument, nullptr, SPLIT},
        {"bad-checksum", required_argument, nullptr, BAD},
        {"silent-after", required_argument, nullptr, SILENT_AFTER},
        {"drop-after", required_argument, nullptr, DROP},
        {"notify", required_argument, nullptr, NOTIFY},
        {"seed", required_argument, nullptr, SEED},
        {"record", required_argument, nullptr, RECORD},
    };
    Options o;
    sim::parse_command_line(argc, argv, own, HELP, o.verbose, o.timestamps, [&](int c, const char* name) {
        switch (c) {
        case TCP: break;
        case SERIAL: usage_error("--serial is a role of the Linux build");
        case PORT: o.port = static_cast<int>(number_arg(name, 0, 65535)); break;
        case ONCE: o.once = true; break;
        case NOISE: o.noise = static_cast<int>(number_arg(name, 0, sim::MAX_NOISE)); break;
        case SPLIT: o.split = static_cast<int>(number_arg(name, 1, 64)); break;
        case BAD: o.bad_checksum = number_arg(name, 1, 1L << 30); break;
        case SILENT_AFTER: o.silent_after = number_arg(name, 0, 1L << 30); break;
        case DROP: o.drop_after = number_arg(name, 1, 1L << 30); break;
        case NOTIFY: o.notify_ms = static_cast<int>(number_arg(name, 0, 3600000)); break;
        case SEED: o.seed = static_cast<uint64_t>(number_arg(name, 0, 0x7FFFFFFF)); break;
        case RECORD: o.record = optarg; break;
        default: break;
        }
    });
    return o;
}

using Clock = std::chrono::steady_clock;

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

// One connection: reassembly of the host's frames, the queue of writes, the delayed answers and
// the counters that the misbehaviour options look at. The socket is non-blocking; its event and
// the stop event wake the loop, and so do the timers of notifications and delayed answers.
class Session {
public:
    Session(SOCKET s, const Options& o, sim::Rng& rng, FILE* record, Clock::time_point epoch)
        : s_(s), o_(o), rng_(rng), record_(record), epoch_(epoch), notify_ms_(o.notify_ms),
          next_notify_(Clock::now() + std::chrono::milliseconds(o.notify_ms)), silent_(o.silent_after == 0)
    {
        event_ = WSACreateEvent();
        if (event_ == WSA_INVALID_EVENT || WSAEventSelect(s_, event_, FD_READ | FD_WRITE | FD_CLOSE) != 0)
            fail("WSAEventSelect");
    }
    ~Session() { WSACloseEvent(event_); }

    // Runs until the peer goes away, the connection is dropped or a stop is asked for; the number
    // of commands answered.
    long run()
    {
        while (!closed_) {
            const HANDLE events[] = {g_stop, event_};
            if (WaitForMultipleObjects(2, events, FALSE, timeout_ms()) == WAIT_OBJECT_0)
                break;
            WSANETWORKEVENTS happened{};
            WSAEnumNetworkEvents(s_, event_, &happened);
            timers();
            if (happened.lNetworkEvents & FD_WRITE)
                flush_some();
            if (happened.lNetworkEvents & (FD_READ | FD_CLOSE))
                receive();
            if (drop_pending_ && out_.empty()) {
                say("dropping the connection after " + std::to_string(received_) + " commands");
                dropped_ = closed_ = true;
            }
        }
        return answered_;
    }
    bool dropped() const { return dropped_; }

private:
    struct Delayed {
        Clock::time_point due;
        uint8_t start;
        sim::Bytes message;
        bool bad;
    };

    static DWORD ms_until(Clock::time_point when)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
        return left < 0 ? 0 : static_cast<DWORD>(left) + 1;
    }
    DWORD timeout_ms() const
    {
        DWORD t = INFINITE;
        if (notify_ms_ > 0)
            t = ms_until(next_notify_);
        if (!delayed_.empty())
            t = std::min(t, ms_until(delayed_.front().due));
        return t;
    }
    int32_t now_ms() const
    {
        return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - epoch_).count());
    }

    void timers()
    {
        while (!delayed_.empty() && Clock::now() >= delayed_.front().due) {
            send(delayed_.front().start, delayed_.front().message, delayed_.front().bad);
            delayed_.pop_front();
        }
        if (notify_ms_ > 0 && Clock::now() >= next_notify_) {
            send_subchannel();
            if (++ticks_ % 4 == 0)
                send(sim::START_FLOW, sim::error_notification(2, last_command_, now_ms()), false);
            next_notify_ = std::max(next_notify_ + std::chrono::milliseconds(notify_ms_), Clock::now());
        }
    }

    void receive()
    {
        uint8_t bytes[4096];
        for (;;) {
            const int n = recv(s_, reinterpret_cast<char*>(bytes), sizeof bytes, 0);
            if (n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK)) {
                closed_ = true; // the peer went away
                return;
            }
            if (n < 0)
                return;
            rx_.feed(bytes, static_cast<size_t>(n));
            sim::Bytes frame;
            while (!closed_ && !drop_pending_ && rx_.next(frame))
                on_frame(frame);
        }
    }

    void on_frame(const sim::Bytes& frame)
    {
        if (record_) {
            std::fprintf(record_, "%s\n", sim::hex(frame).c_str());
            std::fflush(record_);
        }
        if (o_.verbose)
            say("rx " + sim::hex(frame));
        const uint8_t* message = frame.data() + 2;
        const int size = static_cast<int>(frame.size() - sim::FRAME_OVERHEAD);
        if (!sim::is_command(message, size))
            return;
        last_command_ = message[0];
        ++received_;
        if (message[0] == sim::CONTROL_CODE && size >= 2 && !control(message, size))
            return;
        if (silent_ || (o_.silent_after >= 0 && received_ > o_.silent_after)) {
            silent_ = true;
            return;
        }
        ++answered_;
        const bool bad = o_.bad_checksum > 0 && answered_ % o_.bad_checksum == 0;
        auto delay = std::chrono::milliseconds(0);
        if (message[0] == sim::CONTROL_CODE && size >= 4 && message[1] == sim::CTL_DELAY)
            delay = std::chrono::milliseconds(message[2] << 8 | message[3]);
        if (delay.count() > 0 || !delayed_.empty()) // answers keep their order
            delayed_.push_back({Clock::now() + delay, frame[0], sim::response_to(message, size), bad});
        else
            send(frame[0], sim::response_to(message, size), bad);
        if (o_.drop_after > 0 && answered_ >= o_.drop_after)
            drop_pending_ = true;
    }

    // Applies a control command; false when it is not to be answered.
    bool control(const uint8_t* message, int size)
    {
        switch (message[1]) {
        case sim::CTL_PERIODIC:
            if (size >= 4) {
                notify_ms_ = message[2] << 8 | message[3];
                next_notify_ = Clock::now() + std::chrono::milliseconds(notify_ms_);
            }
            return true;
        case sim::CTL_SUBCHANNELS:
            for (int i = 0; size >= 3 && i < message[2]; ++i)
                send_subchannel();
            return true;
        case sim::CTL_ERROR: send(sim::START_FLOW, sim::error_notification(1, last_command_, now_ms()), false); return true;
        case sim::CTL_SILENT: silent_ = true; return false;
        case sim::CTL_DROP: drop_pending_ = true; return false;
        default: return true;
        }
    }

    void send_subchannel()
    {
        const sim::SubChannel sc = sim::next_subchannel(rng_);
        send(sim::START_FLOW, sim::subchannel_notification(sim::subchannel_word(sc), now_ms()), false);
    }

    // Queues one frame, with noise before it and cut into pieces as the options ask.
    void send(uint8_t start, const sim::Bytes& message, bool bad_checksum)
    {
        const sim::Bytes frame = sim::make_frame(start, message, bad_checksum);
        if (o_.verbose)
            say("tx " + sim::hex(frame) + (bad_checksum ? " (bad checksum)" : ""));
        sim::Bytes unit = sim::make_noise(rng_, o_.noise, frame);
        unit.insert(unit.end(), frame.begin(), frame.end());
        for (auto& piece : sim::split(rng_, unit, o_.split))
            out_.push_back(std::move(piece));
        flush_some();
    }

    // Writes queued pieces, each with its own send, as far as the peer takes them now; the rest
    // waits for FD_WRITE.
    void flush_some()
    {
        while (!out_.empty()) {
            sim::Bytes& piece = out_.front();
            const int n = ::send(s_, reinterpret_cast<const char*>(piece.data() + sent_), static_cast<int>(piece.size() - sent_), 0);
            if (n < 0) {
                if (WSAGetLastError() != WSAEWOULDBLOCK) {
                    closed_ = true;
                    out_.clear();
                }
                return;
            }
            sent_ += static_cast<size_t>(n);
            if (sent_ == piece.size()) {
                out_.pop_front();
                sent_ = 0;
            }
        }
    }

    SOCKET s_;
    WSAEVENT event_;
    const Options& o_;
    sim::Rng& rng_;
    FILE* record_;
    Clock::time_point epoch_;
    int notify_ms_;
    Clock::time_point next_notify_;
    bool silent_;
    sim::FrameReader rx_;
    std::deque<sim::Bytes> out_;
    size_t sent_ = 0;
    std::deque<Delayed> delayed_;
    long received_ = 0;
    long answered_ = 0;
    long ticks_ = 0;
    uint8_t last_command_ = 0;
    bool closed_ = false;
    bool dropped_ = false;
    bool drop_pending_ = false;
};

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

} // namespace

int ormasim_tcp_main(int argc, char** argv)
{
    const Options o = parse_options(argc, argv);
    sim::g_timestamps = o.timestamps;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        fail("WSAStartup");
    g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    FILE* record = nullptr;
    if (!o.record.empty() && !(record = std::fopen(o.record.c_str(), "a")))
        usage_error("cannot open " + o.record);

    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
        fail("socket");
    const BOOL one = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(o.port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        fail("bind");
    if (listen(listener, 5) != 0)
        fail("listen");
    int len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    say("tcp on 127.0.0.1:" + std::to_string(ntohs(addr.sin_port)));
    say("ready");

    sim::Rng rng(o.seed);
    const auto epoch = Clock::now();
    long answered = 0;
    for (SOCKET s; (s = accept_one(listener)) != INVALID_SOCKET;) {
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        say("connected");
        Session session(s, o, rng, record, epoch);
        answered += session.run();
        closesocket(s);
        const bool stopping = WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0;
        if (!session.dropped() && !stopping)
            say("peer closed the connection");
        if (o.once || stopping)
            break;
    }
    closesocket(listener);
    say("stopped, " + std::to_string(answered) + " commands answered");
    if (record)
        std::fclose(record);
    WSACleanup();
    return 0;
}
