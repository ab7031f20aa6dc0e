// Captures the console lines of the link client and the transports for the tests.
#pragma once

#include "support/console.h"

#include <mutex>
#include <string>

class ConsoleCapture {
public:
    ConsoleCapture() : previous_(console_set_hook(record)) { clear(); }
    ~ConsoleCapture() { console_set_hook(previous_); }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Everything written to one stream, in order.
    std::string text(ConsoleStream stream) const
    {
        std::lock_guard lock(mutex_);
        return text_[stream == ConsoleStream::Err];
    }
    bool has(ConsoleStream stream, const std::string& line) const { return text(stream).find(line) != std::string::npos; }
    void clear()
    {
        std::lock_guard lock(mutex_);
        text_[0].clear();
        text_[1].clear();
    }

private:
    static void record(ConsoleStream stream, const char* text)
    {
        std::lock_guard lock(mutex_);
        text_[stream == ConsoleStream::Err] += text;
    }
    static inline std::mutex mutex_;
    static inline std::string text_[2]; // output, error
    ConsoleHook previous_;
};
