// What the Linux roles of ormasim share: the options, the stop flag, and the roles themselves
// (TCP and serial, in sim_roles_posix.cpp).
#pragma once

#include "sim_core.h"

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

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

using Clock = std::chrono::steady_clock;

// Set by SIGINT and SIGTERM: every wait of the roles ends.
extern volatile sig_atomic_t g_stop;

// The system call `what` failed: its line, and the program ends.
[[noreturn]] void fail(const char* what);

// Serve until a stop (or, with --once, the end of the first connection); the commands answered.
long serve_tcp(const Options& o, Rng& rng, FILE* record, Clock::time_point epoch);
long serve_serial(const Options& o, Rng& rng, FILE* record, Clock::time_point epoch);

} // namespace sim
