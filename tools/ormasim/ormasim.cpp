// ormasim: plays the receiver module at the other end of the serial or TCP link.
// It answers every command (or plays a capture again), sends notifications, and misbehaves on
// request so that the link's recovery can be tested. See --help. The roles are in
// sim_roles_posix.cpp, one connection's work in sim_session.cpp, the module in sim_module.cpp,
// the command line in sim_options.cpp.
#include "sim_cli.h"
#include "sim_core.h"
#include "sim_posix.h"
#include "sim_replay.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using sim::Options;
using sim::say;

const char* const USAGE = R"(usage: ormasim [options]

Plays the receiver module on the other end of the library's link (modes 1 and 2).

)";

void on_signal(int)
{
    sim::g_stop = 1;
}

} // namespace

int main(int argc, char** argv)
{
    const Options o = sim::parse_options(argc, argv, USAGE);
    sim::g_timestamps = o.timestamps;
    struct sigaction sa{};
    sa.sa_handler = on_signal; // no SA_RESTART: a blocked accept or poll returns with EINTR
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    FILE* record = nullptr;
    if (!o.record.empty() && !(record = std::fopen(o.record.c_str(), "a")))
        sim::fail(o.record.c_str());
    sim::Rng rng(o.seed);
    sim::Recording recording(o, o.serial ? 1 : 2);
    sim::Context context{rng, record, sim::Clock::now(), recording.capture.get(), recording.replay.get()};
    const long answered = o.serial ? sim::serve_serial(o, context) : sim::serve_tcp(o, context);
    if (recording.replay)
        recording.replay->report();
    say("stopped, " + std::to_string(answered) + " commands answered");
    if (record)
        std::fclose(record);
    return 0;
}
