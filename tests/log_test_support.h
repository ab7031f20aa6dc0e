// Helpers of the logging tests: files, the clock the logger sees, log lines and dumps.
#pragma once

#include "logging/log_state.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// Writes the file as given (binary, so line ends stay as written).
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
inline void remove_file(const std::string& path)
{
    std::remove(path.c_str());
}

// The clock the logger sees while a LogTest runs: calendar seconds and a fixed local time
// (Sat Dec 05 17:21:06 2026).
extern int64_t g_fake_seconds;
int64_t fake_clock();
bool fake_local_time(int64_t seconds, std::tm* out);

// Logs one message given as bytes.
inline int32_t log_bytes(const std::vector<uint8_t>& bytes)
{
    return Log_Message(bytes.data(), static_cast<uint16_t>(bytes.size()));
}
// The log line of a message: "[ 0x.. 0x.. ]".
std::string log_line(const std::vector<uint8_t>& message);
// The dump header line and the closing blank lines around a dump body.
inline std::string dump_of(const std::string& config_name, const std::string& body)
{
    return "\nConfiguration data of file \"" + config_name + "\":\n" + body + "\n\n";
}

// Every test starts without a logger state and with the fake clock.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Log_Exit();
        g_fake_seconds = 1000;
        Log_SetClock(fake_clock, fake_local_time);
    }
    void TearDown() override
    {
        Log_Exit();
        Log_SetClock(nullptr, nullptr);
    }
};
