#include "test_support.h"

#include <gtest/gtest.h>

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
