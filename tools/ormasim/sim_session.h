// One connection of the simulator, on any system: reassembly of the host's frames, the answers,
// the control commands, the queue of paced writes and the per-connection counters that the
// misbehaviour options look at. What differs per system (waiting, reading, writing, and on Linux
// the serial line's hang-ups) is behind Line, implemented in the _posix and _win32 files.
#pragma once

#include "sim_module.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

namespace sim {

// The command line of the TCP and serial roles (the serial ones are Linux-only); what the
// module does is in ModuleOptions.
struct Options : ModuleOptions {
    bool serial = false;
    bool hold = false;
    std::string link;
    int port = 5002;
    bool once = false;
    int noise = 0;
    int split = 1;
    int gap_min = 0;
    int gap_max = 0;
    std::string record;
    bool verbose = false;
    bool timestamps = false;
};

// Parses the command line of the TCP and serial roles; `usage` heads the --help text.
Options parse_options(int argc, char** argv, const char* usage);

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
    // Whether the host is there when the line is: a TCP connection. A serial line is there
    // before its host opens it, so a replay's clock starts with the host's first command.
    virtual bool host_at_start() const { return true; }
};

// One connection: the host's frames go to the module, the module's messages go out as frames,
// with noise, split writes and pauses as the options ask.
class Session : private Module::Port {
public:
    Session(Line& line, const Options& options, Context& context);

    // Runs until the peer goes away, the connection is dropped or a stop is asked for.
    // Returns the number of commands answered.
    long run();

    bool dropped() const { return dropped_; }
    // How long the line is to stay away after the session (7F 07), or 0.
    int unplug_ms() const { return module_.unplug_ms(); }

private:
    struct Out {
        Bytes bytes;
        Clock::time_point due; // not written before
    };

    int timeout_ms() const;
    void receive();
    void on_frame(const Bytes& frame);
    void send(uint8_t tag, const Bytes& message, bool notification, bool bad_checksum) override;
    void raw(const Bytes& bytes, uint8_t flags) override;
    void queue(Bytes unit);
    void flush_some();

    Line& line_;
    const Options& o_;
    Context& context_;
    Module module_;
    FrameReader rx_;
    std::deque<Out> out_;
    size_t sent_ = 0;
    bool closed_ = false;
    bool dropped_ = false;
};

} // namespace sim
