// A host process of the USB tests. It loads ORMA_DLL.dll from its own folder (the test build,
// bin/simdev/) and drives the six exports by commands on standard input, one a line:
//   load | free         LoadLibrary | FreeLibrary                        -> "loaded" | "freed MS"
//   init MODE cb|poll   ORMA_DLL_Init(MODE, 2, 0, callback or none)      -> "init MS"
//   send HEX            one message
//   run N SEED          N commands of usb_commands.h, each awaiting its own response in order
//                                                                        -> "run ok N MS" | "run failed ..."
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

void on_message(const uint8_t* message, int32_t length)
{
    std::lock_guard hold(g_lock);
    const Bytes got(message, message + length);
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
            std::string how;
            words >> mode >> how;
            g_dll.init(mode, 2, 0, how == "cb" ? callback : nullptr);
            report("init " + std::to_string(elapsed_ms(start)));
            if (how == "poll") {
                g_polling = true;
                g_poller = std::thread(poll);
            }
        } else if (verb == "send") {
            Bytes message;
            for (unsigned value = 0; words >> std::hex >> value;)
                message.push_back(static_cast<uint8_t>(value));
            g_dll.send(message.data(), static_cast<uint8_t>(message.size()));
        } else if (verb == "run") {
            long count = 0;
            uint32_t seed = 0;
            words >> count >> seed;
            run(count, seed);
        } else if (verb == "exit") {
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
