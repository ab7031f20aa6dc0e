#include "log_test_support.h"

#include <cstdio>

int64_t g_fake_seconds = 1000;

void write_file(const std::string& path, const std::string& content)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}

bool file_exists(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f)
        std::fclose(f);
    return f != nullptr;
}

void remove_file(const std::string& path)
{
    std::remove(path.c_str());
}

int64_t fake_clock()
{
    return g_fake_seconds;
}

bool fake_local_time(int64_t, std::tm* out)
{
    *out = std::tm{};
    out->tm_year = 126;
    out->tm_mon = 11;
    out->tm_mday = 5;
    out->tm_wday = 6;
    out->tm_hour = 17;
    out->tm_min = 21;
    out->tm_sec = 6;
    return true;
}

int32_t log_bytes(const std::vector<uint8_t>& bytes)
{
    return Log_Message(bytes.data(), static_cast<uint16_t>(bytes.size()));
}

void LogTest::SetUp()
{
    Log_Exit();
    g_fake_seconds = 1000;
    Log_SetClock(fake_clock, fake_local_time);
}

void LogTest::TearDown()
{
    Log_Exit();
    Log_SetClock(nullptr, nullptr);
}

std::string dump_of(const std::string& config_name, const std::string& body)
{
    return "\nConfiguration data of file \"" + config_name + "\":\n" + body + "\n\n";
}
