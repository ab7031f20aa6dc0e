// ormasim: plays the receiver module at the other end of the serial or TCP link.
// It answers every command, sends notifications, and misbehaves on request so that the link's
// recovery can be tested. See --help.
#include "sim_cli.h"
#include "sim_core.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <deque>
#include <string>

namespace {

using sim::number_arg;
using sim::say;
using sim::usage_error;

const char* const HELP = R"(usage: ormasim [options]

Plays the receiver module on the other end of the library's link (modes 1 and 2).

Options may be given in any order; numbers are decimal.

Roles:
  --tcp               TCP server on 127.0.0.1 (the default); serves one connection at a time
  --port N            TCP port (default 5002; 0 picks a free one, printed on the ready line)
  --serial            creates a pseudo-terminal pair, serves the master side and prints
                      "ormasim: serial on /dev/pts/N" (the path to give the host as its port)
                      and an ormactl command line to paste; the host may close and reopen that
                      end as often as it likes
  --hold-line         with --serial: keep the other end open too, so that the line never hangs
                      up (for hosts whose serial layer polls the line, e.g. under Wine); the
                      host must then open it with the same settings each time
  --link PATH         with --serial: a symbolic link PATH to the line, made anew for every line
                      (see 7F 07) and removed at the end; give the host PATH as its port
  --once              exit when the first connection ends

Answers:
  Every frame received with a valid checksum whose message code is below 0x80 is a command.
  The answer has the same start byte, the code 0x80 | (code & 0x3F) and the command's payload
  echoed unchanged: 40 01 02 -> 80 01 02, 01 -> 81, 7F 03 -> BF 03.
  Messages with codes 0x80 and above are not commands and are ignored.

Control commands (code 0x7F, answered like any command unless said otherwise):
  7F 01 hh ll         send notifications every hhll milliseconds (0 stops them)
  7F 02 n             send n sub-channel configuration notifications before the answer
  7F 03               send one error notification before the answer
  7F 04               answer nothing from now on (silence)
  7F 05               close the connection at once, unanswered
  7F 06 hh ll         answer this command only after hhll milliseconds (later answers wait
                      behind it, so the order is kept)
  7F 07 hh ll         pull the line away for hhll milliseconds, unanswered: TCP closes the
                      connection and stops listening; --serial hangs up the pseudo-terminal,
                      then makes a new one (a new /dev/pts/N: use --link)

Notifications:
  E0 46 w w w w t t t t   sub-channel configuration: configuration word (bits 0-5 sub-channel
                          id, 6 EFC, 7 switch-on, 8-17 start CU, 18-20 protection level,
                          21 EEP, 22-31 size in CUs) and the time in ms since the start, both
                          big-endian
  F0 e c t t t t          error notification: error number e (1: requested, 2: periodic),
                          code c of the last command, time in ms, big-endian
  Periodic notifications are sub-channel configurations; every fourth tick adds an error
  notification. They go out with start byte AA.

Misbehaviour (for tests; the random choices follow --seed):
  --noise N           up to N random bytes before every frame, start bytes among them (noise
                      that the receiver's scan passes over without waiting)
  --split N           cut every frame (with its noise) into up to N separate writes
  --split-gap MIN-MAX write every frame (with its noise) in at least two pieces (up to --split
                      N), each after the first MIN to MAX milliseconds after the one before
                      (a slow bridge; later frames wait behind, so the order is kept)
  --bad-checksum K    every K-th answer of a connection goes out with a wrong checksum
  --silent            never answer
  --silent-after N    answer the first N commands of a connection, then nothing
  --drop-after N      close the connection after answering its N-th command, then wait for
                      the next one (TCP); so every N answers when the host comes back
  --notify MS         send notifications every MS milliseconds from the start of a connection
  --seed N            seed of the random choices (default 1)

Output:
  --record FILE       append every received frame to FILE, one line of hex each
  -v, --verbose       print every frame received and sent ("ormasim: rx ..."/"ormasim: tx ...")
  -t, --timestamps    begin each line with the time of day (as ormactl --timestamps does)
  -V, --version       print the version
  Every line is written as soon as it is complete, also into a pipe (ormasim -v | tee sim.log).
  A line "ormasim: ready" follows the role's line once the simulator listens. SIGINT or SIGTERM
  stop it with "ormasim: stopped, N commands answered".
)";

struct Options {
    bool serial = false;
    bool hold = false;
    std::string link;
    int port = 5002;
    bool once = false;
    int noise = 0;
    int split = 1;
    int gap_min = 0;
    int gap_max = 0;
    long bad_checksum = 0;
    long silent_after = -1;
    long drop_after = -1;
    int notify_ms = 0;
    uint64_t seed = 1;
    std::string record;
    bool verbose = false;
    bool timestamps = false;
};

volatile sig_atomic_t g_stop = 0;

void on_signal(int)
{
    g_stop = 1;
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "ormasim: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

Options parse_options(int argc, char** argv)
{
    enum { TCP = 256, SERIAL, HOLD, LINK, PORT, ONCE, NOISE, SPLIT, GAP, BAD, SILENT, SILENT_AFTER, DROP, NOTIFY, SEED, RECORD };
    const std::initializer_list<option> own = {
        {"tcp", no_argument, nullptr, TCP},
        {"serial", no_argument, nullptr, SERIAL},
        {"hold-line", no_argument, nullptr, HOLD},
        {"link", required_argument, nullptr, LINK},
        {"port", required_argument, nullptr, PORT},
        {"once", no_argument, nullptr, ONCE},
        {"noise", required_argument, nullptr, NOISE},
        {"split", required_argument, nullptr, SPLIT},
        {"split-gap", required_argument, nullptr, GAP},
        {"bad-checksum", required_argument, nullptr, BAD},
        {"silent", no_argument, nullptr, SILENT},
        {"silent-after", required_argument, nullptr, SILENT_AFTER},
        {"drop-after", required_argument, nullptr, DROP},
        {"notify", required_argument, nullptr, NOTIFY},
        {"seed", required_argument, nullptr, SEED},
        {"record", required_argument, nullptr, RECORD},
    };
    Options o;
    sim::parse_command_line(argc, argv, own, HELP, o.verbose, o.timestamps, [&](int c, const char* name) {
        switch (c) {
        case TCP: o.serial = false; break;
        case SERIAL: o.serial = true; break;
        case HOLD: o.hold = true; break;
        case LINK: o.link = optarg; break;
        case PORT: o.port = static_cast<int>(number_arg(name, 0, 65535)); break;
        case ONCE: o.once = true; break;
        case NOISE: o.noise = static_cast<int>(number_arg(name, 0, sim::MAX_NOISE)); break;
        case SPLIT: o.split = static_cast<int>(number_arg(name, 1, 64)); break;
        case GAP:
            if (!sim::parse_range(optarg, 60000, o.gap_min, o.gap_max))
                usage_error(std::string("bad value for --split-gap: ") + optarg + " (MIN-MAX in ms, up to 60000)");
            break;
        case BAD: o.bad_checksum = number_arg(name, 1, 1L << 30); break;
        case SILENT: o.silent_after = 0; break;
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

void reset_line(int fd);

// One connection (a TCP peer or the pseudo-terminal): reassembly of the host's frames, the
// queue of writes, and the per-connection counters that the misbehaviour options look at.
class Session {
public:
    Session(int fd, bool serial, const Options& options, sim::Rng& rng, FILE* record, Clock::time_point epoch)
        : fd_(fd), serial_(serial), o_(options), rng_(rng), record_(record), epoch_(epoch)
    {
        notify_ms_ = o_.notify_ms;
        next_notify_ = Clock::now() + std::chrono::milliseconds(notify_ms_);
        silent_ = o_.silent_after == 0;
    }

    // Runs until the peer goes away, the connection is dropped or a stop is asked for.
    // Returns the number of commands answered.
    long run()
    {
        while (!g_stop && !closed_) {
            pollfd p{fd_, POLLIN, 0};
            if (!out_.empty())
                p.events |= POLLOUT;
            int timeout = -1;
            if (notify_ms_ > 0)
                timeout = ms_until(next_notify_);
            if (!delayed_.empty()) {
                const int t = ms_until(delayed_.front().due);
                timeout = timeout < 0 ? t : std::min(timeout, t);
            }
            if (!out_.empty() && out_.front().due > Clock::now()) { // the next piece waits its gap
                p.events &= ~POLLOUT;
                const int t = ms_until(out_.front().due);
                timeout = timeout < 0 ? t : std::min(timeout, t);
            }
            if (absent_) {
                // Nobody holds the other end of the pseudo-terminal: look again a little later.
                timeout = timeout < 0 ? ABSENT_POLL_MS : std::min(timeout, ABSENT_POLL_MS);
                p.events = 0;
            }
            const int ready = poll(&p, absent_ ? 0 : 1, timeout);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                fail("poll");
            }
            absent_ = false;
            while (!delayed_.empty() && Clock::now() >= delayed_.front().due) {
                send(delayed_.front().start, delayed_.front().message, delayed_.front().bad);
                delayed_.pop_front();
            }
            if (notify_ms_ > 0 && Clock::now() >= next_notify_) {
                periodic();
                next_notify_ += std::chrono::milliseconds(notify_ms_);
                if (next_notify_ < Clock::now())
                    next_notify_ = Clock::now() + std::chrono::milliseconds(notify_ms_);
            }
            if ((p.revents & POLLOUT) || (!out_.empty() && out_.front().due <= Clock::now()))
                flush_some();
            if (serial_ && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN))
                absent_ = true; // nobody holds the other end now, or not yet
            else if (p.revents & (POLLIN | POLLHUP | POLLERR))
                receive();
            if (drop_pending_ && out_.empty())
                drop();
        }
        return answered_;
    }

    bool dropped() const { return dropped_; }
    // How long the line is to stay away after the session (7F 07), or 0.
    int unplug_ms() const { return unplug_ms_; }

private:
    static constexpr int ABSENT_POLL_MS = 20;

    struct Delayed {
        Clock::time_point due;
        uint8_t start;
        sim::Bytes message;
        bool bad;
    };

    static int ms_until(Clock::time_point when)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
        return left < 0 ? 0 : static_cast<int>(left) + 1;
    }

    // The host closed its end of the pseudo-terminal. Its settings go back to those of a fresh
    // line, so that the next open changes them as it would on a new port.
    void host_left()
    {
        if (present_)
            reset_line(fd_);
        present_ = false;
        absent_ = true;
    }

    int32_t now_ms() const
    {
        return static_cast<int32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - epoch_).count());
    }

    void receive()
    {
        uint8_t bytes[4096];
        const ssize_t n = read(fd_, bytes, sizeof bytes);
        if (serial_ && n < 0 && errno == EIO) {
            host_left(); // the host closed its end; it may open it again
            return;
        }
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            closed_ = true; // the peer went away
            return;
        }
        if (n < 0)
            return;
        present_ = true;
        rx_.feed(bytes, static_cast<size_t>(n));
        sim::Bytes frame;
        while (!closed_ && !drop_pending_ && rx_.next(frame))
            on_frame(frame.data(), static_cast<int>(frame.size()));
    }

    void on_frame(const uint8_t* frame, int length)
    {
        if (record_) {
            std::fprintf(record_, "%s\n", sim::hex(frame, static_cast<size_t>(length)).c_str());
            std::fflush(record_);
        }
        if (o_.verbose)
            say("rx " + sim::hex(frame, static_cast<size_t>(length)));
        const uint8_t start = frame[0];
        const uint8_t* message = frame + 2;
        const int size = length - static_cast<int>(sim::FRAME_OVERHEAD);
        if (!sim::is_command(message, size))
            return;
        last_command_ = message[0];
        ++received_;
        if (message[0] == sim::CONTROL_CODE && size >= 2 && !control(message, size))
            return;
        if (silent_)
            return;
        if (o_.silent_after >= 0 && received_ > o_.silent_after) {
            silent_ = true;
            return;
        }
        ++answered_;
        const bool bad = o_.bad_checksum > 0 && answered_ % o_.bad_checksum == 0;
        auto delay = std::chrono::milliseconds(0);
        if (message[0] == sim::CONTROL_CODE && size >= 4 && message[1] == sim::CTL_DELAY)
            delay = std::chrono::milliseconds(message[2] << 8 | message[3]);
        if (delay.count() > 0 || !delayed_.empty()) // answers keep their order
            delayed_.push_back({Clock::now() + delay, start, sim::response_to(message, size), bad});
        else
            send(start, sim::response_to(message, size), bad);
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
        case sim::CTL_ERROR:
            send(sim::START_FLOW, sim::error_notification(1, last_command_, now_ms()), false);
            return true;
        case sim::CTL_SILENT:
            silent_ = true;
            return false;
        case sim::CTL_DROP:
            drop_pending_ = true;
            return false;
        case sim::CTL_UNPLUG:
            unplug_ms_ = size >= 4 ? std::max(1, message[2] << 8 | message[3]) : 1;
            drop_pending_ = true;
            return false;
        default:
            return true;
        }
    }

    void send_subchannel()
    {
        const sim::SubChannel sc = sim::next_subchannel(rng_);
        send(sim::START_FLOW, sim::subchannel_notification(sim::subchannel_word(sc), now_ms()), false);
    }

    void periodic()
    {
        send_subchannel();
        if (++ticks_ % 4 == 0)
            send(sim::START_FLOW, sim::error_notification(2, last_command_, now_ms()), false);
    }

    // Queues one frame, with noise before it and cut into pieces as the options ask.
    void send(uint8_t start, const sim::Bytes& message, bool bad_checksum)
    {
        const sim::Bytes frame = sim::make_frame(start, message, bad_checksum);
        if (o_.verbose)
            say("tx " + sim::hex(frame) + (bad_checksum ? " (bad checksum)" : ""));
        sim::Bytes unit = sim::make_noise(rng_, o_.noise, frame);
        unit.insert(unit.end(), frame.begin(), frame.end());
        auto due = out_.empty() ? Clock::now() : out_.back().due;
        for (auto& piece : sim::pace(rng_, unit, o_.split, o_.gap_min, o_.gap_max)) {
            due = std::max(due, Clock::now()) + std::chrono::milliseconds(piece.gap_ms);
            out_.push_back({std::move(piece.bytes), due});
        }
        flush_some();
    }

    // Writes queued pieces whose time has come, each with its own write, as far as the peer
    // takes them now.
    void flush_some()
    {
        while (!out_.empty() && out_.front().due <= Clock::now()) {
            sim::Bytes& piece = out_.front().bytes;
            const ssize_t n = write(fd_, piece.data() + sent_, piece.size() - sent_);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    return;
                if (serial_ && errno == EIO) { // nobody on the line: the bytes are lost
                    out_.clear();
                    sent_ = 0;
                    return;
                }
                closed_ = true;
                out_.clear();
                return;
            }
            sent_ += static_cast<size_t>(n);
            if (sent_ == piece.size()) {
                out_.pop_front();
                sent_ = 0;
            }
        }
    }

    void drop()
    {
        say("dropping the connection after " + std::to_string(received_) + " commands");
        dropped_ = true;
        closed_ = true;
    }

    int fd_;
    bool serial_;
    bool absent_ = false;
    bool present_ = false; // the host has sent something since it opened the line
    std::deque<Delayed> delayed_;
    const Options& o_;
    sim::Rng& rng_;
    FILE* record_;
    Clock::time_point epoch_;
    sim::FrameReader rx_;
    struct Out {
        sim::Bytes bytes;
        Clock::time_point due; // not written before
    };
    std::deque<Out> out_;
    size_t sent_ = 0;
    long received_ = 0;
    long answered_ = 0;
    bool silent_ = false;
    bool closed_ = false;
    bool dropped_ = false;
    bool drop_pending_ = false;
    int unplug_ms_ = 0;
    int notify_ms_ = 0;
    long ticks_ = 0;
    uint8_t last_command_ = 0;
    Clock::time_point next_notify_;
};

void reset_line(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | PARODD);
        tcsetattr(fd, TCSANOW, &t);
    }
}

void set_nonblocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        fail("fcntl");
}

// Waits, as long as no stop is asked for.
void pause_for(int ms)
{
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    for (int left; !g_stop && (left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                           until - Clock::now()).count())) > 0;)
        poll(nullptr, 0, left);
}

int tcp_listener(int port, sockaddr_in& addr)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        fail("socket");
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0)
        fail("bind");
    if (listen(listener, 5) < 0)
        fail("listen");
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    return listener;
}

long serve_tcp(const Options& o, sim::Rng& rng, FILE* record, Clock::time_point epoch)
{
    sockaddr_in addr{};
    int listener = tcp_listener(o.port, addr);
    const int port = ntohs(addr.sin_port);
    say("tcp on 127.0.0.1:" + std::to_string(port));
    say("ready");

    long answered = 0;
    const int one = 1;
    while (!g_stop) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            fail("accept");
        }
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        set_nonblocking(fd);
        say("connected");
        Session session(fd, false, o, rng, record, epoch);
        answered += session.run();
        close(fd);
        if (!session.dropped() && !g_stop) {
            say("peer closed the connection");
        }
        if (o.once)
            break;
        if (session.unplug_ms() > 0) { // nobody listens meanwhile: connections are refused
            close(listener);
            say("unplugged for " + std::to_string(session.unplug_ms()) + " ms");
            pause_for(session.unplug_ms());
            listener = tcp_listener(port, addr);
            say("listening again");
        }
    }
    close(listener);
    return answered;
}

long serve_serial(const Options& o, sim::Rng& rng, FILE* record, Clock::time_point epoch)
{
    long answered = 0;
    for (bool first = true; !g_stop; first = false) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0)
            fail("posix_openpt");
        const char* name = ptsname(master);
        if (!name)
            fail("ptsname");
        const std::string path = name;
        // The line starts raw, whatever the host sets. The other end is not held open here, so
        // the host's open and close behave as on a serial port of its own.
        reset_line(master);
        set_nonblocking(master);
        int held = -1;
        if (o.hold && (held = open(path.c_str(), O_RDWR | O_NOCTTY)) < 0)
            fail("open pseudo-terminal");
        if (!o.link.empty()) {
            const std::string fresh = o.link + ".new";
            unlink(fresh.c_str());
            if (symlink(path.c_str(), fresh.c_str()) != 0 || rename(fresh.c_str(), o.link.c_str()) != 0)
                fail("symlink");
        }
        say("serial on " + path);
        if (first) {
            const std::string& port = o.link.empty() ? path : o.link;
            say("host command line: ormactl --mode 1 --device " + port + " send 01");
            say("ready");
        }
        Session session(master, true, o, rng, record, epoch);
        answered += session.run();
        if (held >= 0)
            close(held);
        close(master); // the host's end hangs up
        if (!o.link.empty())
            unlink(o.link.c_str());
        if (session.unplug_ms() <= 0)
            break;
        say("unplugged for " + std::to_string(session.unplug_ms()) + " ms");
        pause_for(session.unplug_ms());
    }
    return answered;
}

} // namespace

int main(int argc, char** argv)
{
    const Options o = parse_options(argc, argv);
    sim::g_timestamps = o.timestamps;
    struct sigaction sa{};
    sa.sa_handler = on_signal; // no SA_RESTART: a blocked accept or poll returns with EINTR
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    FILE* record = nullptr;
    if (!o.record.empty() && !(record = std::fopen(o.record.c_str(), "a")))
        fail(o.record.c_str());
    sim::Rng rng(o.seed);
    const auto epoch = Clock::now();
    const long answered = o.serial ? serve_serial(o, rng, record, epoch) : serve_tcp(o, rng, record, epoch);
    say("stopped, " + std::to_string(answered) + " commands answered");
    if (record)
        std::fclose(record);
    return 0;
}
