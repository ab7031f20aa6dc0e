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
