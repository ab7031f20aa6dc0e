// What both ormasim programs (the Linux roles and the Windows USB role) parse and print alike.
#pragma once

#include "cli.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

namespace sim {

inline bool g_timestamps = false; // -t: the time of day in front of every line

[[noreturn]] inline void usage_error(const std::string& text)
{
    std::fprintf(stderr, "ormasim: %s (see --help)\n", text.c_str());
    std::exit(2);
}

// The value of option --name, a decimal number from min to max.
inline long number_arg(const char* name, long min, long max)
{
    long value = 0;
    if (!cli::decimal(optarg, min, max, value))
        usage_error(std::string("bad value for --") + name + ": " + optarg + " (a decimal number from " +
                    std::to_string(min) + " to " + std::to_string(max) + ")");
    return value;
}

// The value of --speed: a factor above 0 (decimal, a point for the fraction), at most 1000.
inline double speed_arg(const char* name)
{
    char* end = nullptr;
    const double value = std::strtod(optarg, &end);
    if (end == optarg || *end || !(value > 0 && value <= 1000))
        usage_error(std::string("bad value for --") + name + ": " + optarg + " (a factor above 0, e.g. 2 or 0.5)");
    return value;
}

// The help on --capture, --replay and --speed, alike in every role.
inline constexpr const char* CAPTURE_HELP = R"(Capture and replay:
  --capture FILE      write the module's side of the link to FILE, a capture file (pcapng, link
                      type 147, the library's format): every message received and sent with its
                      time in microseconds, frames whole on framed links, the noise, the frames
                      sent with a wrong checksum, the link's coming and the module's drops. Each
                      record is written at once, so the file is whole whenever the program ends
  --replay FILE       play the module's side of a capture (written by the library or by
                      --capture): each command is answered with what followed the recorded
                      command of the same bytes, else of the same code, each recorded command
                      used once and in order; a command with no such match is answered as
                      without --replay. Messages to the host that followed no command (or came
                      after its response) go out at their recorded offsets from the first
                      connection; recorded noise, frames with a wrong checksum and drops of the
                      link by the module are played too where the role can. Messages that the
                      library made up are left out. At the end of each connection and of the
                      program: "ormasim: replay: matched M, unmatched U, notifications sent N"
  --speed X           with --replay: the notifications come X times as fast (default 1)
)";

// The options every role has (-v, -t, -V, -h) and getopt_long's complaints; ends the program
// where they say so.
inline void common_option(int c, bool& verbose, bool& timestamps, const char* help, char** argv)
{
    switch (c) {
    case 'v': verbose = true; break;
    case 't': timestamps = true; break;
    case 'V': std::printf("ormasim %s\n", ORMA_VERSION); std::exit(0);
    case 'h': std::fputs(help, stdout); std::exit(0);
    case ':': usage_error(std::string(argv[optind - 1]) + " needs a value");
    default: usage_error(std::string("unknown option ") + argv[optind - 1]);
    }
}

// Parses the command line: `own` are the role's long options (values from 256 on), handed to
// take(value, name); -v, -t, -V, -h and getopt_long's complaints are every role's. Arguments that
// are no options end the program.
template <typename Take>
void parse_command_line(int argc, char** argv, std::initializer_list<option> own, const char* help, bool& verbose,
                        bool& timestamps, Take take)
{
    std::vector<option> all(own);
    all.push_back({"verbose", no_argument, nullptr, 'v'});
    all.push_back({"timestamps", no_argument, nullptr, 't'});
    all.push_back({"version", no_argument, nullptr, 'V'});
    all.push_back({"help", no_argument, nullptr, 'h'});
    all.push_back({nullptr, 0, nullptr, 0});
    opterr = 0; // our own messages
    int c;
    int index = 0;
    while ((c = getopt_long(argc, argv, ":vtVh", all.data(), &index)) != -1) {
        if (c >= 256)
            take(c, all[static_cast<size_t>(index)].name);
        else
            common_option(c, verbose, timestamps, help, argv);
    }
    if (optind < argc)
        usage_error(std::string("unexpected argument ") + argv[optind]);
}

// One line of output, written at once: stdout may be a pipe (ormasim -v | tee sim.log).
inline void say(const std::string& text)
{
    std::printf("%sormasim: %s\n", g_timestamps ? cli::clock_stamp().c_str() : "", text.c_str());
    std::fflush(stdout);
}

} // namespace sim
