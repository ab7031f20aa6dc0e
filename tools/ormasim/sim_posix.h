// What the Linux roles of ormasim share: the stop flag and the roles themselves (TCP and serial,
// in sim_roles_posix.cpp).
#pragma once

#include "sim_session.h"

#include <signal.h>

#include <cstdio>

namespace sim {

// Set by SIGINT and SIGTERM: every wait of the roles ends.
extern volatile sig_atomic_t g_stop;

// The system call `what` failed: its line, and the program ends.
[[noreturn]] void fail(const char* what);

// Serve until a stop (or, with --once, the end of the first connection); the commands answered.
long serve_tcp(const Options& o, Context& context);
long serve_serial(const Options& o, Context& context);

} // namespace sim
