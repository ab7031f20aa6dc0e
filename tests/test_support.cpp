#include "test_support.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <ctime>
#endif

#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string read_text_file(const std::string& path)
{
    std::ifstream in(path); // text mode: line ends read back as written
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    return parts;
}

void StdoutCapture::start()
{
    std::fflush(stdout);
    testing::internal::CaptureStdout();
}

std::string StdoutCapture::stop()
{
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

#ifdef _WIN32
namespace {
// Kernel and user time in milliseconds from GetProcessTimes or GetThreadTimes (100 ns ticks).
double cpu_ms(BOOL(WINAPI* times)(HANDLE, FILETIME*, FILETIME*, FILETIME*, FILETIME*), HANDLE of)
{
    FILETIME created, ended, kernel, user;
    times(of, &created, &ended, &kernel, &user);
    const auto ticks = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;
}
} // namespace

double process_cpu_ms() { return cpu_ms(GetProcessTimes, GetCurrentProcess()); }
double thread_cpu_ms() { return cpu_ms(GetThreadTimes, GetCurrentThread()); }
#else
namespace {
double cpu_ms(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}
} // namespace

double process_cpu_ms() { return cpu_ms(CLOCK_PROCESS_CPUTIME_ID); }
double thread_cpu_ms() { return cpu_ms(CLOCK_THREAD_CPUTIME_ID); }
#endif
