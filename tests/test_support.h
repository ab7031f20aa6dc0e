// Helpers shared by the test programs.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A link frame built by hand: start byte, length, message, and the 8-bit sum of all of these.
inline Bytes framed(uint8_t start, const Bytes& message)
{
    Bytes f(message.size() + 3);
    f[0] = start;
    f[1] = static_cast<uint8_t>(message.size());
    uint8_t sum = static_cast<uint8_t>(f[0] + f[1]);
    for (size_t i = 0; i < message.size(); ++i) {
        f[i + 2] = message[i];
        sum = static_cast<uint8_t>(sum + message[i]);
    }
    f.back() = sum;
    return f;
}

// The bytes as upper-case hexadecimal pairs with a space between them: "AA 01 81 2C".
inline std::string hex(const Bytes& bytes)
{
    std::string text;
    char cell[4];
    for (size_t i = 0; i < bytes.size(); ++i)
        text += (std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]), cell);
    return text;
}

// The parts one after the other.
template <typename... Parts>
Bytes cat(const Parts&... parts)
{
    Bytes all;
    (all.insert(all.end(), parts.begin(), parts.end()), ...);
    return all;
}

// Records the fault boxes that would be shown, for the lifetime of the object.
class FaultRecorder {
public:
    struct Fault {
        std::string title;
        std::string text;
        uint32_t icon;
    };

    FaultRecorder();
    ~FaultRecorder();
    FaultRecorder(const FaultRecorder&) = delete;
    FaultRecorder& operator=(const FaultRecorder&) = delete;

    std::vector<Fault> faults() const;
    size_t count() const { return faults().size(); }
    void clear();
};

// Polls the condition until it holds or the deadline passes; true when it held.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));

// The whole content of a file read in text mode, or an empty string when it cannot be opened.
std::string read_text_file(const std::string& path);
// The parts of the text between separators: its lines by default.
std::vector<std::string> split(const std::string& text, char separator = '\n');
// The processor time this process has used so far (user and system), in milliseconds.
double process_cpu_ms();
// The processor time the calling thread has used so far, in milliseconds: a wait that polls shows
// here without the ticks of the process's other threads (Windows counts them in 10 ms steps).
double thread_cpu_ms();

// Captures what is written to standard output between start() and stop().
class StdoutCapture {
public:
    void start();
    std::string stop();
};
