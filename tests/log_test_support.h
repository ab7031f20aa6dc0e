// Helpers of the logging tests: configuration files, a controllable clock, stderr capture.
#pragma once

#include "logging/log_state.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// Writes the file as given (binary, so line ends stay as written).
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
void remove_file(const std::string& path);

// The clock the logger sees while a LogTest runs: calendar seconds and a fixed local time
// (Sat Dec 05 17:21:06 2026).
extern int64_t g_fake_seconds;
int64_t fake_clock();
bool fake_local_time(int64_t seconds, std::tm* out);

// Logs one message given as bytes.
int32_t log_bytes(const std::vector<uint8_t>& bytes);

// Every test starts without a logger state and with the fake clock.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// The dump header line and the closing blank lines around a dump body.
std::string dump_of(const std::string& config_name, const std::string& body);
