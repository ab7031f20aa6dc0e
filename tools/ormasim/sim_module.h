// The module itself, free of any transport: what it answers (the echo, or a recorded session
// with --replay), the control commands 7F, the commands it counts, its silence, its delayed
// answers and its notifications. Every role (serial, TCP, the USB device) feeds it the messages
// that come in and sends what it hands to its Port: framed roles as frames (with noise and split
// writes on request), the USB device as blocks.
#pragma once

#include "sim_core.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <string>

namespace sim {

using Clock = std::chrono::steady_clock;

class Capture;
class Replay;

// What the module does, alike in every role (a role without a setting leaves its default).
struct ModuleOptions {
    long bad_checksum = 0;  // every K-th answer spoiled (framed roles)
    long silent_after = -1; // answer the first N commands, then nothing
    long drop_after = -1;   // drop the link after the N-th answer
    int notify_ms = 0;      // periodic notifications
    uint64_t seed = 1;
    std::string capture; // --capture FILE
    std::string replay;  // --replay FILE
    double speed = 1.0;  // --speed X: recorded notifications X times as fast
};

// What the module's connections share over the program's run.
struct Context {
    Rng& rng;
    FILE* record = nullptr;
    Clock::time_point epoch = Clock::now(); // time 0 of the notifications' time fields
    Capture* capture = nullptr;
    Replay* replay = nullptr;
};

// One step of what the module sends: a message, bytes as they are (noise, a spoiled frame; the
// capture's flags say which), or the link dropped.
struct Step {
    enum Kind { MESSAGE, RAW, DROP } kind = MESSAGE;
    Bytes bytes;
    uint8_t flags = 0; // of a RAW step: the capture's NOISE or BAD_SUM
};

class Module {
public:
    // Where the module's output goes: the role's link.
    class Port {
    public:
        virtual ~Port() = default;
        // One message to the host. An answer carries the tag of its command (a framed link's
        // start byte, a USB client); a notification carries 0 or the client it is for.
        virtual void send(uint8_t tag, const Bytes& message, bool notification, bool bad_checksum) = 0;
        // Recorded bytes that are no message (noise, a spoiled frame): framed roles send them.
        virtual void raw(const Bytes& bytes, uint8_t flags) = 0;
    };

    // can_unplug: whether the role pulls its line away on 7F 07 (else it is answered).
    Module(const ModuleOptions& o, Context& context, Port& port, bool can_unplug);
    // Starts a replay's clock of unasked notifications, when the host is there (once per run).
    void begin_replay();

    // One message from the host, with its tag.
    void receive(uint8_t tag, const uint8_t* message, size_t size);
    // Delayed answers and notifications whose time has come.
    void timers();
    // Milliseconds until the next timer, -1 for none.
    int timeout_ms() const;

    long answered() const { return answered_; }
    long received() const { return received_; }
    // The link is to be dropped (7F 05, 7F 07, --drop-after, a recorded drop).
    bool drop_pending() const { return drop_pending_; }
    // How long the line is to stay away after the drop (7F 07), or 0.
    int unplug_ms() const { return unplug_ms_; }

private:
    struct Delayed {
        Clock::time_point due;
        uint8_t tag;
        Step step;
        bool bad;
    };

    int32_t now_ms() const;
    void answer(uint8_t tag, const uint8_t* message, size_t size);
    bool control(uint8_t tag, const uint8_t* message, size_t size);
    void send_subchannel(uint8_t tag);
    void play(uint8_t tag, const Step& step, bool bad);
    void queue(Clock::time_point due, uint8_t tag, Step step, bool bad);

    const ModuleOptions& o_;
    Context& context_;
    Port& port_;
    bool can_unplug_;
    std::deque<Delayed> delayed_;
    long received_ = 0;
    long answered_ = 0;
    bool silent_ = false;
    bool drop_pending_ = false;
    int unplug_ms_ = 0;
    int notify_ms_ = 0;
    long ticks_ = 0;
    uint8_t last_command_ = 0;
    Clock::time_point next_notify_;
};

} // namespace sim
