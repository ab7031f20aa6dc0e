// --replay: the module's side of a capture played again. The records to the module are the
// commands it was given; the records to the host after each command, up to its response (code
// 0x80 to 0xBF, or a spoiled frame) and with the noise and the link drops up to the next command,
// are its answer. Messages to the host that follow no command (before the first one, or after a
// command's response) are notifications, played at their offsets from the start of the replay.
// Records that the library made up never crossed the link and are left out.
#pragma once

#include "capture/pcapng.h"
#include "sim_capture.h"
#include "sim_module.h"

#include <memory>
#include <string>
#include <vector>

namespace sim {

class Replay {
public:
    // speed > 0: the notifications' offsets are divided by it.
    Replay(const std::vector<orma_capture::Record>& records, double speed);

    // The recorded answer to a command: that of the first command not used yet with the same
    // bytes, else with the same code; nullptr when there is none (the command counts unmatched).
    const std::vector<Step>* answer(const uint8_t* message, size_t size);

    // Starts the notifications' clock; later calls change nothing.
    void begin(Clock::time_point now);
    // The next notification step due by `now`; false when none is.
    bool due(Clock::time_point now, Step& step);
    // When the next notification is due; time_point::max() when none is left or no clock runs.
    Clock::time_point next_due() const;

    long matched() const { return matched_; }
    long unmatched() const { return unmatched_; }
    // "replay: matched M, unmatched U, notifications sent N"
    std::string summary() const;
    // Prints the summary when the counts changed since it was last printed (and the first time):
    // at the end of each connection and of the program.
    void report();

private:
    struct Command {
        Bytes message;
        std::vector<Step> answer;
        bool used = false;
    };
    struct Timed {
        uint64_t offset_us;
        Step step;
    };

    std::vector<Command> commands_;
    std::vector<Timed> timed_;
    size_t next_timed_ = 0;
    double speed_;
    bool begun_ = false;
    Clock::time_point start_;
    long matched_ = 0;
    long unmatched_ = 0;
    long sent_ = 0;
    long reported_ = -1;
};

// The capture file and the replay that the options ask for, for one role's program (mode 1
// serial, 2 TCP, 3 USB); a file that cannot be read or written ends the program.
struct Recording {
    Recording(const ModuleOptions& o, uint8_t mode);
    std::unique_ptr<Capture> capture;
    std::unique_ptr<Replay> replay;
};

} // namespace sim
