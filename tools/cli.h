// What the two tools share on their command lines and in their output lines.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace cli {

// A decimal number within [min, max]; a leading 0 is no octal prefix ("010" is 10). False when
// the text is not such a number.
inline bool decimal(const char* text, long min, long max, long& value)
{
    if (!text || !*text)
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return *end == '\0' && errno == 0 && value >= min && value <= max;
}

// "12:34:56.789 ": local wall-clock time, the same in both tools, so that their lines can be laid
// side by side. Not for concurrent callers (std::localtime).
inline std::string clock_stamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::tm* t = std::localtime(&seconds);
    char text[24];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d ", t ? t->tm_hour : 0, t ? t->tm_min : 0,
                  t ? t->tm_sec : 0, static_cast<int>(ms));
    return text;
}

} // namespace cli
