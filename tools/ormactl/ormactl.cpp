// ormactl: sends messages to the receiver module and prints what comes back, through the six
// exported functions of the library and nothing else. See --help.
#include "ORMA_DLL.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const HELP = R"(usage: ormactl [options] send HEX...
       ormactl [options] watch SECONDS [HEX...]

Talks to the receiver module through ORMA_DLL and prints every message with its class.

Commands:
  send HEX...         sends each argument as one message, e.g. send 01 "40 01 02"; under
                      protocol 2 each command waits for the previous one's response. Ends when
                      every command has its response (exit 0) or a response is late (exit 1).
  watch SECONDS       prints every message that arrives for SECONDS seconds; messages given
                      after SECONDS are sent first (e.g. watch 3 "7F 01 00 64" asks ormasim for
                      notifications every 100 ms).

Options:
  --mode N            1: serial port COM1; 2: TCP to 127.0.0.1:5002 (default 2)
  --protocol N        2: one command in flight (default); 1 or other: no flow control
  --callback          receive through a callback on the library's thread
  --poll              receive with ORMA_DLL_Receive_Message (the default; protocol 2 only)
  --timeout MS        how long a response may take (default 3000)
  --wait MS           how long to go on printing after the last response (default 200)

Output lines: "-> command      40 01 02" for each message sent, "<- response     80 01 02",
"<- notification E0 46 ...", "<- error         F0 ..." for each message received (with the
sub-channel configuration decoded), and "ormactl: ..." for everything else.
)";

using Clock = std::chrono::steady_clock;

struct Options {
    int mode = 2;
    int protocol = 2;
    bool callback = false;
    int timeout_ms = 3000;
    int wait_ms = 200;
};

std::mutex g_print_lock;
std::mutex g_wait_lock;
std::condition_variable g_arrived;
std::atomic<int> g_responses{0};

[[noreturn]] void usage_error(const std::string& text)
{
    std::fprintf(stderr, "ormactl: %s (see --help)\n", text.c_str());
    std::exit(2);
}

long number(const char* text, const char* what, long min, long max)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 0);
    if (!*text || *end || value < min || value > max)
        usage_error(std::string("bad ") + what + ": " + text);
    return value;
}

// "40 01 02", "400102", "0x40,0x01": pairs of hex digits, with blanks, commas or 0x between.
bool parse_hex(const std::string& text, std::vector<uint8_t>& out)
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

std::string hex(const uint8_t* bytes, int count)
{
    std::string text;
    char cell[4];
    for (int i = 0; i < count; ++i) {
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

void print_received(const uint8_t* message, int length)
{
    std::lock_guard lock(g_print_lock);
    std::printf("<- %s %s", class_name(message[0]), hex(message, length).c_str());
    if (length >= 10 && message[0] == 0xE0 && message[1] == 0x46) {
        const uint32_t w = be32(message + 2);
        std::printf("  [sub-channel %u %s, start CU %u, size %u, %s %u, time %d ms]", w & 0x3F,
                    (w >> 7 & 1) ? "on" : "off", w >> 8 & 0x3FF, w >> 22 & 0x3FF,
                    (w >> 21 & 1) ? "EEP" : "UEP", w >> 18 & 7, static_cast<int32_t>(be32(message + 6)));
    }
    std::printf("\n");
    std::fflush(stdout);
}

void note_received(const uint8_t* message, int length)
{
    print_received(message, length);
    if ((message[0] & 0xC0) == 0x80) {
        std::lock_guard lock(g_wait_lock);
        ++g_responses;
        g_arrived.notify_all();
    }
}

int32_t ORMA_DLL_CALL on_message(const uint8_t* message, int32_t length)
{
    if (message && length > 0)
        note_received(message, length);
    return 0;
}

// Takes what the receive list holds (polling mode); true when something was taken.
bool drain()
{
    uint8_t buffer[255];
    uint8_t length = 0;
    bool any = false;
    while (ORMA_DLL_Receive_Message(buffer, &length) == 0) {
        note_received(buffer, length);
        any = true;
    }
    return any;
}

// Drives the library until `until` passes or `done` holds, printing what arrives.
template <typename Done>
void pump(const Options& o, Clock::time_point until, Done done)
{
    while (!done() && Clock::now() < until) {
        ORMA_DLL_Loop();
        if (!o.callback && drain())
            continue;
        std::unique_lock lock(g_wait_lock);
        g_arrived.wait_for(lock, std::chrono::milliseconds(o.callback ? 5 : 1));
    }
}

bool send_all(const Options& o, const std::vector<std::vector<uint8_t>>& messages)
{
    int commands = 0;
    for (const auto& m : messages) {
        const bool queued = o.protocol == 2 && ORMA_DLL_getComState() == 0;
        {
            std::lock_guard lock(g_print_lock);
            std::printf("-> %s %s%s\n", class_name(m[0]), hex(m.data(), static_cast<int>(m.size())).c_str(),
                        queued ? "  (queued)" : "");
            std::fflush(stdout);
        }
        if (ORMA_DLL_Send_Message(m.data(), static_cast<uint8_t>(m.size())) != 0) {
            std::fprintf(stderr, "ormactl: the library refused the message\n");
            return false;
        }
        if (m[0] < 0x80)
            ++commands;
    }
    // Each response may take up to the time-out; a late one ends the wait.
    int seen = g_responses;
    auto deadline = Clock::now() + std::chrono::milliseconds(o.timeout_ms);
    while (g_responses < commands && Clock::now() < deadline) {
        pump(o, deadline, [&] { return g_responses != seen; });
        if (g_responses != seen) {
            seen = g_responses;
            deadline = Clock::now() + std::chrono::milliseconds(o.timeout_ms);
        }
    }
    if (g_responses < commands) {
        std::fprintf(stderr, "ormactl: %d of %d responses within %d ms\n", g_responses.load(), commands,
                     o.timeout_ms);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "-h" || a == "--help") {
            std::fputs(HELP, stdout);
            return 0;
        } else if (a == "--mode" && has_value) {
            o.mode = static_cast<int>(number(argv[++i], "mode", 0, 4));
        } else if (a == "--protocol" && has_value) {
            o.protocol = static_cast<int>(number(argv[++i], "protocol", 0, 255));
        } else if (a == "--callback") {
            o.callback = true;
        } else if (a == "--poll") {
            o.callback = false;
        } else if (a == "--timeout" && has_value) {
            o.timeout_ms = static_cast<int>(number(argv[++i], "time-out", 1, 3600000));
        } else if (a == "--wait" && has_value) {
            o.wait_ms = static_cast<int>(number(argv[++i], "wait", 0, 3600000));
        } else {
            usage_error("unknown option or missing value: " + a);
        }
    }
    if (i >= argc)
        usage_error("no command");
    const std::string command = argv[i++];
    long watch_seconds = 0;
    if (command == "watch") {
        if (i >= argc)
            usage_error("watch needs a number of seconds");
        watch_seconds = number(argv[i++], "seconds", 0, 86400);
    } else if (command != "send") {
        usage_error("unknown command " + command);
    }
    std::vector<std::vector<uint8_t>> messages;
    for (; i < argc; ++i) {
        std::vector<uint8_t> m;
        if (!parse_hex(argv[i], m))
            usage_error(std::string("not a message of 1 to 255 hex bytes: \"") + argv[i] + "\"");
        messages.push_back(std::move(m));
    }
    if (command == "send" && messages.empty())
        usage_error("send needs at least one message");
    if (!o.callback && o.protocol != 2)
        std::fprintf(stderr, "ormactl: without --callback only protocol 2 keeps received messages\n");

    std::printf("ormactl: mode %d, protocol %d, %s\n", o.mode, o.protocol, o.callback ? "callback" : "polling");
    std::fflush(stdout);
    ORMA_DLL_Init(o.mode, o.protocol, 0, o.callback ? on_message : nullptr);
    if (!o.callback)
        drain(); // polls once, so that notifications from now on are kept

    bool ok = send_all(o, messages);
    const auto linger = watch_seconds > 0 ? std::chrono::milliseconds(watch_seconds * 1000)
                                          : std::chrono::milliseconds(o.wait_ms);
    pump(o, Clock::now() + linger, [] { return false; });
    ORMA_DLL_Exit();
    if (!ok && command == "watch")
        ok = true; // watch reports what came; late responses are not its failure
    return ok ? 0 : 1;
}
