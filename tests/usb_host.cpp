// A host process of the USB tests. It loads ORMA_DLL.dll from its own folder (the test build,
// bin/simdev/) and drives the six exports by commands on standard input, one a line:
//   load | free         LoadLibrary | FreeLibrary                        -> "loaded" | "freed MS"
//   init MODE cb|poll [PROTOCOL]
//                       ORMA_DLL_Init(MODE, PROTOCOL (2), 0, callback or none); with poll, a
//                       first poll before the report, then a thread that polls -> "init MS"
//   send HEX            one message                                      -> "sent RESULT"
//   fill N              one message of N bytes: 41 01 02 ...             -> "sent RESULT"
//   run N SEED          N commands of usb_commands.h, each awaiting its own response in order
//                                                                        -> "run ok N MS" | "run failed ..."
//   trips N MS TAG      on a thread of its own, N commands 41 TAG seq seq: each awaiting its answer
//                       (MS 0), or one every MS ms; then ORMA_DLL_Loop until every one is answered
//                       (20 s at most). An answer is real (81 TAG seq seq, in order), 0x85, or wrong.
//                       Reports "real" and "none" when the kind of answer changes, then
//                       "trips done|stalled N real R none Z wrong W maxgap MS" (the longest time
//                       between two answers)
//   exit                ORMA_DLL_Exit                                    -> "exit MS"
//   quit (or the end of the input): the process ends, without exit or free
// Each message received outside a run is reported as "rx HEX". Every report goes to standard error
// as one line led by the milliseconds since the start; the library's console lines go to
// standard output. Under polling a thread takes messages and calls ORMA_DLL_Loop every millisecond.
#include "usb_commands.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using Callback = int32_t(__cdecl*)(const uint8_t*, int32_t);

const Clock::time_point g_start = Clock::now();
std::mutex g_lock;
std::condition_variable g_arrived;

struct Exports {
    int32_t(__cdecl* init)(int32_t, int32_t, uint32_t, Callback);
    int32_t(__cdecl* send)(const uint8_t*, uint8_t);
    int32_t(__cdecl* receive)(uint8_t*, uint8_t*);
    int32_t(__cdecl* loop)();
    int32_t(__cdecl* exit)();
} g_dll;
HMODULE g_module = nullptr;

// The trips in progress: the sequence numbers sent and not answered, in order, and the tally.
struct Trips {
    bool active = false;
    uint8_t tag = 0;
    std::deque<uint16_t> pending;
    long real = 0, none = 0, wrong = 0;
    int last = -1; // the kind of the last answer: 1 real, 0 none
    Clock::time_point last_answer;
    long long max_gap = 0;
} g_trips;
std::thread g_trips_thread;

// The run in progress: the response awaited, and what went wrong.
struct Run {
    bool active = false;
    Bytes awaited;
    bool answered = false;
    std::string wrong;
} g_run;

long long elapsed_ms(Clock::time_point since = g_start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

void report(const std::string& line)
{
    std::fprintf(stderr, "%lld %s\n", elapsed_ms(), line.c_str());
    std::fflush(stderr);
}

std::string hex(const uint8_t* bytes, size_t n)
{
    std::string text;
    char cell[4];
    for (size_t i = 0; i < n; ++i)
        text += (std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]), cell);
    return text;
}

// One answer of the trips, under the lock.
void tally(const Bytes& got)
{
    Trips& t = g_trips;
    const auto now = Clock::now();
    if (t.last >= 0)
        t.max_gap = std::max<long long>(t.max_gap, std::chrono::duration_cast<std::chrono::milliseconds>(now - t.last_answer).count());
    t.last_answer = now;
    const int seq = t.pending.empty() ? -1 : t.pending.front();
    if (!t.pending.empty())
        t.pending.pop_front();
    const Bytes real{0x81, t.tag, static_cast<uint8_t>(seq), static_cast<uint8_t>(seq >> 8)};
    const int kind = got == Bytes{0x85} ? 0 : got == real && seq >= 0 ? 1 : -1;
    if (kind < 0) {
        if (t.wrong++ == 0)
            report("wrong " + hex(got.data(), got.size()) + " for " + std::to_string(seq));
        return;
    }
    ++(kind ? t.real : t.none);
    if (kind != t.last)
        report(kind ? "real" : "none");
    t.last = kind;
    g_arrived.notify_all();
}

void on_message(const uint8_t* message, int32_t length)
{
    std::lock_guard hold(g_lock);
    const Bytes got(message, message + length);
    if (g_trips.active && message[0] >= 0x80 && message[0] < 0xC0) {
        tally(got);
        return;
    }
    if (!g_run.active || message[0] < 0x80 || message[0] >= 0xC0) {
        report("rx " + hex(got.data(), got.size()));
        return;
    }
    if (g_run.answered || got != g_run.awaited)
        g_run.wrong = "got " + hex(got.data(), got.size()) + " awaiting " + hex(g_run.awaited.data(), g_run.awaited.size());
    g_run.answered = true;
    g_arrived.notify_all();
}

int32_t __cdecl callback(const uint8_t* message, int32_t length)
{
    on_message(message, length);
    return 0;
}

std::atomic<bool> g_polling{false};
std::thread g_poller;

void stop_polling()
{
    g_polling = false;
    if (g_poller.joinable())
        g_poller.join();
}

void poll()
{
    uint8_t buffer[255];
    uint8_t length = 0;
    while (g_polling) {
        while (g_dll.receive(buffer, &length) == 0)
            on_message(buffer, length);
        g_dll.loop();
        Sleep(1);
    }
}

template <typename Fn>
void entry(Fn& fn, const char* name)
{
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(g_module, name)));
}

void run(long count, uint32_t seed)
{
    const auto start = Clock::now();
    for (long i = 0; i < count; ++i) {
        const Bytes command = usb_run_command(seed, static_cast<uint32_t>(i));
        std::unique_lock lock(g_lock);
        g_run.active = true;
        g_run.answered = false;
        g_run.awaited = command;
        g_run.awaited[0] = static_cast<uint8_t>(0x80 | (command[0] & 0x3F));
        lock.unlock();
        g_dll.send(command.data(), static_cast<uint8_t>(command.size()));
        lock.lock();
        if (!g_arrived.wait_for(lock, std::chrono::seconds(5), [] { return g_run.answered; }))
            g_run.wrong = "no response";
        if (!g_run.wrong.empty()) {
            report("run failed at " + std::to_string(i) + ": " + g_run.wrong);
            g_run = Run{};
            return;
        }
    }
    std::lock_guard hold(g_lock);
    g_run.active = false;
    report("run ok " + std::to_string(count) + " " + std::to_string(elapsed_ms(start)));
}

void trips(long count, long period_ms, uint8_t tag)
{
    std::unique_lock lock(g_lock);
    g_trips = Trips{};
    g_trips.active = true;
    g_trips.tag = tag;
    lock.unlock();
    const auto answered = [] { return g_trips.pending.empty(); };
    bool stalled = false;
    for (long i = 0; i < count && !stalled; ++i) {
        const Bytes command{0x41, tag, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
        lock.lock();
        g_trips.pending.push_back(static_cast<uint16_t>(i));
        lock.unlock();
        if (g_dll.send(command.data(), 4) != 0) { // not queued: no answer comes
            lock.lock();
            g_trips.pending.pop_back();
            ++g_trips.wrong;
            lock.unlock();
        }
        lock.lock();
        if (period_ms == 0)
            stalled = !g_arrived.wait_for(lock, std::chrono::seconds(20), answered);
        lock.unlock();
        if (period_ms > 0)
            Sleep(static_cast<DWORD>(period_ms));
    }
    const auto until = Clock::now() + std::chrono::seconds(20);
    for (lock.lock(); !answered() && Clock::now() < until; lock.lock()) {
        lock.unlock();
        g_dll.loop(); // what is still queued goes out
        lock.lock();
        g_arrived.wait_for(lock, std::chrono::milliseconds(5));
        lock.unlock();
    }
    const Trips& t = g_trips;
    report(std::string(answered() ? "trips done " : "trips stalled ") + std::to_string(count) + " real " + std::to_string(t.real) +
           " none " + std::to_string(t.none) + " wrong " + std::to_string(t.wrong) + " maxgap " + std::to_string(t.max_gap));
    g_trips.active = false;
}

} // namespace

int main()
{
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        const auto start = Clock::now();
        if (verb == "load") {
            g_module = LoadLibraryA("ORMA_DLL.dll");
            entry(g_dll.init, "ORMA_DLL_Init");
            entry(g_dll.send, "ORMA_DLL_Send_Message");
            entry(g_dll.receive, "ORMA_DLL_Receive_Message");
            entry(g_dll.loop, "ORMA_DLL_Loop");
            entry(g_dll.exit, "ORMA_DLL_Exit");
            report(g_module ? "loaded" : "load failed");
        } else if (verb == "init") {
            int mode = 0;
            int protocol = 2;
            std::string how;
            words >> mode >> how >> protocol;
            g_dll.init(mode, protocol, 0, how == "cb" ? callback : nullptr);
            if (how == "poll") { // the first poll before the report: what comes later is kept
                uint8_t buffer[255];
                uint8_t length = 0;
                while (g_dll.receive(buffer, &length) == 0)
                    on_message(buffer, length);
            }
            report("init " + std::to_string(elapsed_ms(start)));
            if (how == "poll") {
                g_polling = true;
                g_poller = std::thread(poll);
            }
        } else if (verb == "send") {
            Bytes message;
            for (unsigned value = 0; words >> std::hex >> value;)
                message.push_back(static_cast<uint8_t>(value));
            report("sent " + std::to_string(g_dll.send(message.data(), static_cast<uint8_t>(message.size()))));
        } else if (verb == "fill") {
            size_t length = 0;
            words >> length;
            Bytes message(length);
            for (size_t i = 0; i < length; ++i)
                message[i] = static_cast<uint8_t>(i ? i : 0x41);
            report("sent " + std::to_string(g_dll.send(message.data(), static_cast<uint8_t>(length))));
        } else if (verb == "trips") {
            long count = 0, period = 0;
            unsigned tag = 0;
            words >> count >> period >> tag;
            g_trips_thread = std::thread(trips, count, period, static_cast<uint8_t>(tag));
        } else if (verb == "run") {
            long count = 0;
            uint32_t seed = 0;
            words >> count >> seed;
            run(count, seed);
        } else if (verb == "exit") {
            if (g_trips_thread.joinable())
                g_trips_thread.join();
            stop_polling();
            g_dll.exit();
            report("exit " + std::to_string(elapsed_ms(start)));
        } else if (verb == "free") {
            FreeLibrary(g_module);
            report("freed " + std::to_string(elapsed_ms(start)));
        } else if (verb == "quit") {
            break;
        }
    }
    std::fflush(stdout);
    ExitProcess(0); // as a process ends: the library is not unloaded first
}
