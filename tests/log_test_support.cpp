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

std::string log_line(const std::vector<uint8_t>& message)
{
    std::string line = "[";
    char item[8];
    for (uint8_t b : message) {
        std::snprintf(item, sizeof item, " 0x%02x", b);
        line += item;
    }
    return line + " ]\n";
}
