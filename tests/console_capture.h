// Captures the console lines of the link client and the transports for the tests.
#pragma once

#include "support/console.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class ConsoleCapture {
public:
    using Line = std::pair<ConsoleStream, std::string>;

    ConsoleCapture() : previous_(console_set_hook(record)) { clear(); }
    ~ConsoleCapture() { console_set_hook(previous_); }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::vector<Line> lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // Everything written to one stream, in order.
    std::string text(ConsoleStream stream) const
    {
        std::string all;
        for (const auto& [s, t] : lines())
            if (s == stream)
                all += t;
        return all;
    }
    bool has(ConsoleStream stream, const std::string& line) const
    {
        const auto all = lines();
        return std::find(all.begin(), all.end(), Line{stream, line}) != all.end();
    }
    void clear()
    {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    static void record(ConsoleStream stream, const char* text)
    {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(stream, text);
    }
    static inline std::mutex mutex_;
    static inline std::vector<Line> lines_;
    ConsoleHook previous_;
};
