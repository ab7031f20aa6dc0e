// One connection of the simulator, on any system: reassembly of the host's frames, the answers,
// the control commands, the queue of paced writes and the per-connection counters that the
// misbehaviour options look at. What differs per system (waiting, reading, writing, and on Linux
// the serial line's hang-ups) is behind Line, implemented in the _posix and _win32 files.
#pragma once

#include "sim_core.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

namespace sim {

// The command line of the TCP and serial roles (the serial ones are Linux-only).
struct Options {
    bool serial = false;
    bool hold = false;
    std::string link;
    int port = 5002;
    bool once = false;
    int noise = 0;
    int split = 1;
    int gap_min = 0;
    int gap_max = 0;
    long bad_checksum = 0;
    long silent_after = -1;
    long drop_after = -1;
    int notify_ms = 0;
    uint64_t seed = 1;
    std::string record;
    bool verbose = false;
    bool timestamps = false;
};

// Parses the command line of the TCP and serial roles; `usage` heads the --help text.
Options parse_options(int argc, char** argv, const char* usage);

using Clock = std::chrono::steady_clock;

// One connection's system calls. The connection is non-blocking.
class Line {
public:
    // What read and write return instead of a count of bytes.
    static constexpr long LATER = -1; // nothing now (would block, interrupted)
    static constexpr long LOST = -2;  // write: nobody on the line now, the bytes are lost
    static constexpr long GONE = -3;  // the peer went away for good

    struct Ready {
        bool stop = false; // a stop is asked for
        bool readable = false;
        bool writable = false;
    };

    virtual ~Line() = default;
    // Waits until there is something to read (or the peer went away), or writing can go on when
    // `want_write`, or timeout_ms (-1: no limit) passed, or a stop is asked for.
    virtual Ready wait(bool want_write, int timeout_ms) = 0;
    virtual long read(uint8_t* bytes, size_t size) = 0;
    virtual long write(const uint8_t* bytes, size_t size) = 0;
};

class Session {
public:
    Session(Line& line, const Options& options, Rng& rng, FILE* record, Clock::time_point epoch);

    // Runs until the peer goes away, the connection is dropped or a stop is asked for.
    // Returns the number of commands answered.
    long run();

    bool dropped() const { return dropped_; }
    // How long the line is to stay away after the session (7F 07), or 0.
    int unplug_ms() const { return unplug_ms_; }

private:
    struct Delayed {
        Clock::time_point due;
        uint8_t start;
        Bytes message;
        bool bad;
    };
    struct Out {
        Bytes bytes;
        Clock::time_point due; // not written before
    };

    int timeout_ms() const;
    int32_t now_ms() const;
    void timers();
    void receive();
    void on_frame(const uint8_t* frame, int length);
    bool control(const uint8_t* message, int size);
    void send_subchannel();
    void send(uint8_t start, const Bytes& message, bool bad_checksum);
    void flush_some();

    Line& line_;
    const Options& o_;
    Rng& rng_;
    FILE* record_;
    Clock::time_point epoch_;
    FrameReader rx_;
    std::deque<Delayed> delayed_;
    std::deque<Out> out_;
    size_t sent_ = 0;
    long received_ = 0;
    long answered_ = 0;
    bool silent_ = false;
    bool closed_ = false;
    bool dropped_ = false;
    bool drop_pending_ = false;
    int unplug_ms_ = 0;
    int notify_ms_ = 0;
    long ticks_ = 0;
    uint8_t last_command_ = 0;
    Clock::time_point next_notify_;
};

} // namespace sim
