// ormactl: sends messages to the receiver module and prints what comes back, through the
// library's exported functions and nothing else. See --help.
#include "ORMA_DLL.h"
#include "cli.h"
#include "config/config_table.h"
#include "log_config_check.h"
#include "logging/ini.h"
#include "logging/options_ini.h"
#include "platform.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

const char* const HELP = R"HELP(usage: ormactl [options] send HEX...
       ormactl [options] watch SECONDS [HEX...]
       ormactl [options] bench N [HEX]
       ormactl config

Talks to the receiver module through ORMA_DLL and prints every message with its class.
Options may also follow the command: ormactl send 01 --mode 1.

Commands:
  send HEX...         sends each argument as one message, e.g. send 01 "40 01 02". Each command
                      waits for the previous one's response; each response shows its round trip.
                      Ends when every command has its response (exit 0) or one is late or gets
                      the library's "no answer" 85 (exit 1).
  watch SECONDS       prints every message that arrives for SECONDS seconds; messages given
                      after SECONDS are sent first (e.g. watch 3 "7F 01 00 64" asks ormasim for
                      notifications every 100 ms); with --every MS they are sent again every
                      MS milliseconds while watching.
  bench N [HEX]       sends N commands (default 01), one after the other, and prints the summary
                      only.
  config              checks the configuration that the library reads (ORMA_DLL_Log.ini in the
                      current folder): prints its absolute path, what each log channel, the link
                      ([ORMA_LINK]) and the console lines ([ORMA_CONSOLE]) will do, and warns
                      about unknown sections, keys and values, which the library passes over in
                      silence, about two channels in one file, a file name that is empty or a
                      folder, a folder that is missing or not writable, and a configuration
                      path that is a folder. Exit 1 when there is a warning.

Every run but config ends with a summary: messages sent, responses, the library's "no answer"
responses (85: the deadline passed or the link failed; the run then exits 1), notifications,
error notifications, and the round trip of the commands (minimum, median, 99th percentile,
maximum). When the link is not up after the start, the run says where it found no module in one
line ("ormactl: no module at 127.0.0.1:5002") and exits 1.

Options:
  -m, --mode N        1: serial port ([ORMA_LINK] ComPort, COM1 by default); 2: TCP to
                      [ORMA_LINK] Host and Port (127.0.0.1:5002 by default; default mode 2); 3
                      and 4: USB (Windows only; the first process to open the device owns it
                      and serves the others, one at a time)
  -d, --device PATH   mode 1 on Linux: the device to open as COM1 (sets ORMA_COM1 for the
                      library), e.g. the /dev/pts/N that "ormasim --serial" prints
  -p, --protocol N    2: one command in flight (default); 1 or other: no flow control
      --callback      receive through a callback on the library's thread
      --poll          receive with ORMA_DLL_Receive_Message_Wait (the default; protocol 2 only)
      --timeout MS    how long a response may take (default 3000)
      --wait MS       how long to go on printing after the last response (default 200)
      --every MS      watch: send the messages again every MS milliseconds
  -t, --timestamps    begin each line with the time of day (as ormasim --timestamps does)
  -V, --version       prints the version
  -h, --help          prints this help

The library returns from its start as soon as the link is up ([ORMA_LINK] StartWait = READY);
StartWait = FIXED waits the described 1000 ms (mode 1), 3000 ms (mode 2) or 2000 ms (USB).

Numbers are decimal. Output lines: "-> command      40 01 02" for each message sent,
"<- response     80 01 02  (0.215 ms)", "<- notification E0 46 ...", "<- error        F0 ..."
for each message received (with the sub-channel configuration decoded), and "ormactl: ..." for
everything else. The lines without an arrow or "ormactl:" are the library's own; its
[ORMA_CONSOLE] Output setting moves them (STDERR, a file) or silences them (OFF).
)HELP";

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

struct Options {
    int mode = 2;
    int protocol = 2;
    bool callback = false;
    int timeout_ms = 3000;
    int wait_ms = 200;
    int every_ms = 0;
    bool timestamps = false;
    std::string device;
};

struct Counters {
    long sent = 0;
    long responses = 0;
    long no_answers = 0; // the library's 85
    long notifications = 0;
    long errors = 0;
};

// The one command that waits for its response: ormactl sends the next only after it.
struct InFlight {
    bool waiting = false;
    bool answered = false;
    bool no_answer = false; // answered by the library's 85
    Clock::time_point sent_at;
};

Options g_options;
OrmaOptions g_settings; // [ORMA_LINK] of the library's settings file
bool g_quiet = false;              // bench: the summary only
std::mutex g_lock;                 // output, counters, the command in flight
std::condition_variable g_arrived; // a message came in
uint64_t g_arrivals = 0;
Counters g_count;
InFlight g_flight;
std::vector<double> g_round_trips_ms;

[[noreturn]] void usage_error(const std::string& text)
{
    std::fprintf(stderr, "ormactl: %s (see --help)\n", text.c_str());
    std::exit(2);
}

long number(const char* text, const char* what, long min, long max)
{
    long value = 0;
    if (!cli::decimal(text, min, max, value))
        usage_error(std::string("bad ") + what + ": " + text + " (a decimal number from " + std::to_string(min) +
                    " to " + std::to_string(max) + ")");
    return value;
}

// "40 01 02", "400102", "0x40,0x01": pairs of hex digits, with blanks, commas or 0x between.
bool parse_hex(const std::string& text, Bytes& out)
{
    out.clear();
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == ',' || c == '\t' || c == ':') {
            ++i;
            continue;
        }
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            i += 2;
            continue;
        }
        if (i + 1 >= text.size() || !std::isxdigit(static_cast<unsigned char>(c)) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 1])))
            return false;
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return !out.empty() && out.size() <= 255;
}

Bytes message_arg(const char* text)
{
    Bytes m;
    if (!parse_hex(text, m))
        usage_error(std::string("not a message of 1 to 255 hex bytes: \"") + text + "\"");
    return m;
}

std::string hex(const uint8_t* bytes, size_t count)
{
    std::string text;
    char cell[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]);
        text += cell;
    }
    return text;
}

const char* class_name(uint8_t code)
{
    if (code == 0xF0)
        return "error       ";
    if (code >= 0xC0)
        return "notification";
    if (code >= 0x80)
        return "response    ";
    return "command     ";
}

uint32_t be32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

std::string format(const char* pattern, auto... values)
{
    char text[160];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// One output line; the caller holds g_lock.
void print_line(const std::string& text)
{
    if (g_options.timestamps)
        std::fputs(cli::clock_stamp().c_str(), stdout);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// Counts and prints one received message; a response to the command in flight ends its wait.
void note_received(const uint8_t* message, size_t length)
{
    const auto now = Clock::now();
    std::unique_lock hold(g_lock);
    std::string line = std::string("<- ") + class_name(message[0]) + " " + hex(message, length);
    if (message[0] == 0xF0) {
        ++g_count.errors;
    } else if (message[0] >= 0xC0) {
        ++g_count.notifications;
        if (length >= 10 && message[0] == 0xE0 && message[1] == 0x46) {
            const uint32_t w = be32(message + 2);
            line += format("  [sub-channel %u %s, start CU %u, size %u, %s %u, time %d ms]", w & 0x3F,
                           (w >> 7 & 1) ? "on" : "off", w >> 8 & 0x3FF, w >> 22 & 0x3FF,
                           (w >> 21 & 1) ? "EEP" : "UEP", w >> 18 & 7, static_cast<int32_t>(be32(message + 6)));
        }
    } else if (length == 1 && message[0] == 0x85) {
        ++g_count.no_answers;
        if (g_flight.waiting && !g_flight.answered) {
            g_flight.answered = true;
            g_flight.no_answer = true;
        }
    } else if (message[0] >= 0x80) {
        ++g_count.responses;
        if (g_flight.waiting && !g_flight.answered) {
            g_flight.answered = true;
            const double ms = std::chrono::duration<double, std::milli>(now - g_flight.sent_at).count();
            g_round_trips_ms.push_back(ms);
            line += format("  (%.3f ms)", ms);
        }
    }
    if (!g_quiet)
        print_line(line);
    ++g_arrivals;
    hold.unlock(); // the waiting thread wakes to a free lock
    g_arrived.notify_all();
}

int32_t ORMA_DLL_CALL on_message(const uint8_t* message, int32_t length)
{
    if (message && length > 0)
        note_received(message, static_cast<size_t>(length));
    return 0;
}

// Takes what the receive list holds (polling mode); true when something was taken.
bool drain()
{
    uint8_t buffer[255];
    uint8_t length = 0;
    bool any = false;
    while (ORMA_DLL_Receive_Message(buffer, &length) == 0) {
        if (length > 0)
            note_received(buffer, length);
        any = true;
    }
    return any;
}

// Drives the library (ORMA_DLL_Loop, and polling unless a callback receives) until `done` holds
// or `until` passes; true when `done` held. `done` is called without g_lock.
template <typename Done>
bool pump(Clock::time_point until, Done done)
{
    // A polling host waits in the library for the next message while queued commands go out by
    // themselves (SendQueued). With SendQueued = OFF it must call ORMA_DLL_Loop, so it looks again
    // after a short while, short enough not to add to the round trips measured.
    const bool wait_in_library = !g_options.callback && g_settings.send_queued;
    const auto period = g_options.callback ? std::chrono::microseconds(5000) : std::chrono::microseconds(200);
    for (;;) {
        if (wait_in_library) {
            if (done())
                return true;
            const auto now = Clock::now();
            if (now >= until)
                return false;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
            uint8_t buffer[255];
            uint8_t length = 0;
            if (ORMA_DLL_Receive_Message_Wait(buffer, &length, static_cast<uint32_t>(left)) == 0 && length > 0)
                note_received(buffer, length);
            continue;
        }
        uint64_t seen;
        {
            std::lock_guard hold(g_lock);
            seen = g_arrivals;
        }
        if (done())
            return true;
        if (Clock::now() >= until)
            return false;
        ORMA_DLL_Loop();
        if (!g_options.callback && drain())
            continue;
        std::unique_lock lock(g_lock);
        g_arrived.wait_for(lock, period, [&] { return g_arrivals != seen; });
    }
}

Clock::time_point deadline()
{
    return Clock::now() + std::chrono::milliseconds(g_options.timeout_ms);
}

// Where the library looks for the module: "at HOST:PORT", "on DEVICE", "on the USB device".
std::string where_the_module_is()
{
    if (g_options.mode == 1) {
        // --device stands in for port 1; a port number names the device the library opens for it.
        using orma_config::KeyId, orma_config::SectionId;
        const auto number = orma_config::number(orma_config::key(SectionId::Link, KeyId::ComPort), g_settings.com_port);
        if (!g_options.device.empty() || number)
            return "on " + platform_com_port(g_options.device.empty() ? static_cast<int>(*number) : 1).device;
        return "on " + g_settings.com_port;
    }
    if (g_options.mode == 2) {
        const bool v6 = g_settings.host.find(':') != std::string::npos;
        return "at " + (v6 ? "[" + g_settings.host + "]" : g_settings.host) + ":" + std::to_string(g_settings.port);
    }
    return "on the USB device";
}

// Sends one message; a command then waits for its response. False when the library refused
// the message or the response did not come in time.
bool send_one(const Bytes& m)
{
    const bool command = m[0] < 0x80;
    // Under protocol 2 a command goes out at once only while the com state is 1. With SendQueued
    // one sent earlier goes out as soon as it reopens; without, waiting for it here keeps time in
    // the library's send list out of the round trip.
    if (command && g_options.protocol == 2 && !g_settings.send_queued &&
        !pump(deadline(), [] { return ORMA_DLL_getComState() == 1; })) {
        std::fprintf(stderr, "ormactl: the com state stayed 0 for %d ms: the last command is still unanswered\n",
                     g_options.timeout_ms);
        return false;
    }
    {
        std::lock_guard hold(g_lock);
        g_flight = InFlight{command, false, false, Clock::now()};
        ++g_count.sent;
        if (!g_quiet)
            print_line(std::string("-> ") + class_name(m[0]) + " " + hex(m.data(), m.size()));
    }
    if (ORMA_DLL_Send_Message(m.data(), static_cast<uint8_t>(m.size())) != 0) {
        std::fprintf(stderr, "ormactl: the library refused the message\n");
        return false;
    }
    if (!command)
        return true;
    if (pump(deadline(), [] {
            std::lock_guard hold(g_lock);
            return g_flight.answered;
        })) {
        std::lock_guard hold(g_lock);
        return !g_flight.no_answer;
    }
    std::lock_guard hold(g_lock);
    g_flight.waiting = false;
    std::fprintf(stderr, "ormactl: no response to %s within %d ms: is a module (or ormasim) %s, and the link up?\n",
                 hex(m.data(), m.size()).c_str(), g_options.timeout_ms, where_the_module_is().c_str());
    return false;
}

// The nearest-rank percentile p (0 < p <= 100) of sorted values.
double percentile(const std::vector<double>& sorted, double p)
{
    const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::max<size_t>(rank, 1) - 1];
}

void print_summary()
{
    std::lock_guard hold(g_lock);
    std::string line = format("ormactl: sent %ld, responses %ld, no answers %ld, notifications %ld, errors %ld",
                              g_count.sent, g_count.responses, g_count.no_answers, g_count.notifications,
                              g_count.errors);
    std::vector<double> rtt = g_round_trips_ms;
    std::sort(rtt.begin(), rtt.end());
    if (rtt.empty())
        line += "; no round trip";
    else
        line += format("; round trip ms: min %.3f, median %.3f, p99 %.3f, max %.3f", rtt.front(),
                       percentile(rtt, 50), percentile(rtt, 99), rtt.back());
    print_line(line);
}

// The mode line, and for mode 1 the device that the library will open.
void describe_link()
{
    std::printf("ormactl: mode %d, protocol %d, %s\n", g_options.mode, g_options.protocol,
                g_options.callback ? "callback" : "polling");
    if (g_options.mode == 1) {
        const ComPort port = platform_com_port(1);
        if (!port.reason.empty()) // the system chooses among devices (Linux)
            std::printf("ormactl: COM1 is %s (%s)\n", port.device.c_str(), port.reason.c_str());
        if (!port.problem.empty())
            std::printf("ormactl: warning: %s will not open: %s\n", port.device.c_str(), port.problem.c_str());
    }
    std::fflush(stdout);
}

enum Opt { OPT_CALLBACK = 256, OPT_POLL, OPT_TIMEOUT, OPT_WAIT, OPT_EVERY };

void parse_options(int argc, char** argv)
{
    static const option LONG[] = {
        {"mode", required_argument, nullptr, 'm'},
        {"device", required_argument, nullptr, 'd'},
        {"protocol", required_argument, nullptr, 'p'},
        {"callback", no_argument, nullptr, OPT_CALLBACK},
        {"poll", no_argument, nullptr, OPT_POLL},
        {"timeout", required_argument, nullptr, OPT_TIMEOUT},
        {"wait", required_argument, nullptr, OPT_WAIT},
        {"every", required_argument, nullptr, OPT_EVERY},
        {"timestamps", no_argument, nullptr, 't'},
        {"version", no_argument, nullptr, 'V'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    Options& o = g_options;
    opterr = 0; // our own messages
    int c;
    while ((c = getopt_long(argc, argv, ":m:d:p:tVh", LONG, nullptr)) != -1) {
        switch (c) {
        case 'm': o.mode = static_cast<int>(number(optarg, "mode", 1, 4)); break;
        case 'd': o.device = optarg; break;
        case 'p': o.protocol = static_cast<int>(number(optarg, "protocol", 0, 255)); break;
        case OPT_CALLBACK: o.callback = true; break;
        case OPT_POLL: o.callback = false; break;
        case OPT_TIMEOUT: o.timeout_ms = static_cast<int>(number(optarg, "time-out", 1, 3600000)); break;
        case OPT_WAIT: o.wait_ms = static_cast<int>(number(optarg, "wait", 0, 3600000)); break;
        case OPT_EVERY: o.every_ms = static_cast<int>(number(optarg, "interval", 1, 3600000)); break;
        case 't': o.timestamps = true; break;
        case 'V': std::printf("ormactl %s\n", ORMA_DLL_VERSION_STRING); std::exit(0);
        case 'h': std::fputs(HELP, stdout); std::exit(0);
        case ':': usage_error(std::string(argv[optind - 1]) + " needs a value");
        default: usage_error(std::string("unknown option ") + argv[optind - 1]);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    parse_options(argc, argv);
    Options& o = g_options;
    int i = optind;
    if (i >= argc)
        usage_error("no command");
    const std::string command = argv[i++];
    if (command == "config") {
        if (i < argc)
            usage_error("config takes no argument");
        return check_log_config(stdout);
    }
    long watch_seconds = 0;
    long bench_count = 0;
    if (command == "watch" || command == "bench") {
        if (i >= argc)
            usage_error(command + " needs a number");
        if (command == "watch")
            watch_seconds = number(argv[i++], "seconds", 0, 86400);
        else
            bench_count = number(argv[i++], "count", 1, 100000000);
    } else if (command != "send") {
        usage_error("unknown command " + command);
    }
    std::vector<Bytes> messages;
    for (; i < argc; ++i)
        messages.push_back(message_arg(argv[i]));
    if (o.every_ms > 0 && command != "watch")
        usage_error("--every is for watch");
    if (command == "send" && messages.empty())
        usage_error("send needs at least one message");
    if (command == "bench") {
        if (messages.size() > 1 || (!messages.empty() && messages[0][0] >= 0x80))
            usage_error("bench takes one command (a code below 80)");
        messages.assign(1, messages.empty() ? Bytes{0x01} : messages[0]);
        g_quiet = true;
    }
    std::string why;
    if (!platform_mode_available(o.mode, why))
        usage_error("mode " + std::to_string(o.mode) + " cannot be used here: " + why);
    if (!o.device.empty()) {
        if (o.mode != 1)
            usage_error("--device is for mode 1");
        if (!platform_set_com_device(1, o.device, why))
            usage_error(why);
    }
    if (!o.callback && o.protocol != 2) {
        if (command != "watch")
            usage_error("without --callback only protocol 2 keeps received messages: add --callback");
        std::fprintf(stderr, "ormactl: without --callback only protocol 2 keeps received messages\n");
    }

    describe_link();
    {
        // The settings as the library reads them: where it looks for the module, SendQueued.
        const std::unique_ptr<IniDict, void (*)(IniDict*)> dict{ini_read(orma_config::FILE_NAME, nullptr), ini_free};
        g_settings = options_read(dict.get());
    }
    ORMA_DLL_Init(o.mode, o.protocol, 0, o.callback ? on_message : nullptr);
    if (ORMA_DLL_getLinkState() != ORMA_DLL_LINK_UP) {
        ORMA_DLL_Exit();
        std::printf("ormactl: no module %s\n", where_the_module_is().c_str());
        return 1;
    }
    if (!o.callback)
        drain(); // polls once, so that notifications from now on are kept

    bool ok = true;
    const auto bench_start = Clock::now();
    if (command == "bench") {
        for (long n = 0; ok && n < bench_count; ++n)
            ok = send_one(messages[0]);
    } else {
        for (const Bytes& m : messages)
            if (!send_one(m) && command == "send") {
                ok = false;
                break;
            }
    }
    const double bench_s = std::chrono::duration<double>(Clock::now() - bench_start).count();
    if (command != "bench") {
        const auto linger = watch_seconds > 0 ? std::chrono::milliseconds(watch_seconds * 1000)
                                              : std::chrono::milliseconds(o.wait_ms);
        const auto end = Clock::now() + linger;
        const auto every = std::chrono::milliseconds(o.every_ms);
        for (auto next = Clock::now() + every; o.every_ms > 0 && next < end; next += every) {
            pump(next, [] { return false; });
            for (const Bytes& m : messages)
                send_one(m);
        }
        pump(end, [] { return false; });
    }
    ORMA_DLL_Exit();
    if (command == "bench") {
        std::lock_guard hold(g_lock);
        print_line(format("ormactl: bench: %ld commands in %.2f s, %.0f per second", g_count.sent, bench_s,
                          static_cast<double>(g_count.sent) / bench_s));
    }
    print_summary();
    return ok ? 0 : 1;
}
