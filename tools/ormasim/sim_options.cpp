// The command line of the TCP and serial roles, and its --help, alike in both builds; each
// build's main gives the head of the help text.
#include "sim_cli.h"
#include "sim_session.h"

#include <getopt.h>

#include <string>

namespace sim {

namespace {

const char* const BODY = R"(Options may be given in any order; numbers are decimal.

Roles:
  --tcp               TCP server on 127.0.0.1 (the default); serves one connection at a time
  --port N            TCP port (default 5002; 0 picks a free one, printed on the ready line)
  --serial            creates a pseudo-terminal pair, serves the master side and prints
                      "ormasim: serial on /dev/pts/N" (the path to give the host as its port)
                      and an ormactl command line to paste; the host may close and reopen that
                      end as often as it likes (Linux only)
  --hold-line         with --serial: keep the other end open too, so that the line never hangs
                      up (for hosts whose serial layer polls the line, e.g. under Wine); the
                      host must then open it with the same settings each time (Linux only)
  --link PATH         with --serial: a symbolic link PATH to the line, made anew for every line
                      (see 7F 07) and removed at the end; give the host PATH as its port
                      (Linux only)
  --once              exit when the first connection ends

Answers:
  Every frame received with a valid checksum whose message code is below 0x80 is a command.
  The answer has the same start byte, the code 0x80 | (code & 0x3F) and the command's payload
  echoed unchanged: 40 01 02 -> 80 01 02, 01 -> 81, 7F 03 -> BF 03.
  Messages with codes 0x80 and above are not commands and are ignored.

Control commands (code 0x7F, answered like any command unless said otherwise):
  7F 01 hh ll         send notifications every hhll milliseconds (0 stops them)
  7F 02 n             send n sub-channel configuration notifications before the answer
  7F 03               send one error notification before the answer
  7F 04               answer nothing from now on (silence)
  7F 05               close the connection at once, unanswered
  7F 06 hh ll         answer this command only after hhll milliseconds (later answers wait
                      behind it, so the order is kept)
  7F 07 hh ll         pull the line away for hhll milliseconds, unanswered: TCP closes the
                      connection and stops listening; --serial hangs up the pseudo-terminal,
                      then makes a new one (a new /dev/pts/N: use --link)

Notifications:
  E0 46 w w w w t t t t   sub-channel configuration: configuration word (bits 0-5 sub-channel
                          id, 6 EFC, 7 switch-on, 8-17 start CU, 18-20 protection level,
                          21 EEP, 22-31 size in CUs) and the time in ms since the start, both
                          big-endian
  F0 e c t t t t          error notification: error number e (1: requested, 2: periodic),
                          code c of the last command, time in ms, big-endian
  Periodic notifications are sub-channel configurations; every fourth tick adds an error
  notification. They go out with start byte AA.

Misbehaviour (for tests; the random choices follow --seed):
  --noise N           up to N random bytes before every frame, start bytes among them (noise
                      that the receiver's scan passes over without waiting)
  --split N           cut every frame (with its noise) into up to N separate writes
  --split-gap MIN-MAX write every frame (with its noise) in at least two pieces (up to --split
                      N), each after the first MIN to MAX milliseconds after the one before
                      (a slow bridge; later frames wait behind, so the order is kept)
  --bad-checksum K    every K-th answer of a connection goes out with a wrong checksum
  --silent            never answer
  --silent-after N    answer the first N commands of a connection, then nothing
  --drop-after N      close the connection after answering its N-th command, then wait for
                      the next one; so every N answers when the host comes back (--serial
                      hangs the line up and makes a new one at once: use --link)
  --notify MS         send notifications every MS milliseconds from the start of a connection
  --seed N            seed of the random choices (default 1)

%s
Output:
  --record FILE       append every received frame to FILE, one line of hex each
  -v, --verbose       print every frame received and sent ("ormasim: rx ..."/"ormasim: tx ...")
  -t, --timestamps    begin each line with the time of day (as ormactl --timestamps does)
  -V, --version       print the version
  Every line is written as soon as it is complete, also into a pipe (ormasim -v | tee sim.log).
  A line "ormasim: ready" follows the role's line once the simulator listens. SIGINT or SIGTERM
  (on Windows Ctrl+C, Ctrl+Break or closing the console) stop it with
  "ormasim: stopped, N commands answered".
)";

} // namespace

Options parse_options(int argc, char** argv, const char* usage)
{
    std::string help = std::string(usage) + BODY;
    help.replace(help.find("%s\n"), 3, CAPTURE_HELP);
    enum { TCP = 256, SERIAL, HOLD, LINK, PORT, ONCE, NOISE, SPLIT, GAP, BAD, SILENT, SILENT_AFTER, DROP, NOTIFY, SEED, RECORD, CAPTURE, REPLAY, SPEED };
    const std::initializer_list<option> own = {
        {"tcp", no_argument, nullptr, TCP},
        {"serial", no_argument, nullptr, SERIAL},
        {"hold-line", no_argument, nullptr, HOLD},
        {"link", required_argument, nullptr, LINK},
        {"port", required_argument, nullptr, PORT},
        {"once", no_argument, nullptr, ONCE},
        {"noise", required_argument, nullptr, NOISE},
        {"split", required_argument, nullptr, SPLIT},
        {"split-gap", required_argument, nullptr, GAP},
        {"bad-checksum", required_argument, nullptr, BAD},
        {"silent", no_argument, nullptr, SILENT},
        {"silent-after", required_argument, nullptr, SILENT_AFTER},
        {"drop-after", required_argument, nullptr, DROP},
        {"notify", required_argument, nullptr, NOTIFY},
        {"seed", required_argument, nullptr, SEED},
        {"record", required_argument, nullptr, RECORD},
        {"capture", required_argument, nullptr, CAPTURE},
        {"replay", required_argument, nullptr, REPLAY},
        {"speed", required_argument, nullptr, SPEED},
    };
    Options o;
    sim::parse_command_line(argc, argv, own, help.c_str(), o.verbose, o.timestamps, [&](int c, const char* name) {
        switch (c) {
        case TCP: o.serial = false; break;
        case SERIAL: o.serial = true; break;
        case HOLD: o.hold = true; break;
        case LINK: o.link = optarg; break;
        case PORT: o.port = static_cast<int>(number_arg(name, 0, 65535)); break;
        case ONCE: o.once = true; break;
        case NOISE: o.noise = static_cast<int>(number_arg(name, 0, sim::MAX_NOISE)); break;
        case SPLIT: o.split = static_cast<int>(number_arg(name, 1, 64)); break;
        case GAP:
            if (!sim::parse_range(optarg, 60000, o.gap_min, o.gap_max))
                usage_error(std::string("bad value for --split-gap: ") + optarg + " (MIN-MAX in ms, up to 60000)");
            break;
        case BAD: o.bad_checksum = number_arg(name, 1, 1L << 30); break;
        case SILENT: o.silent_after = 0; break;
        case SILENT_AFTER: o.silent_after = number_arg(name, 0, 1L << 30); break;
        case DROP: o.drop_after = number_arg(name, 1, 1L << 30); break;
        case NOTIFY: o.notify_ms = static_cast<int>(number_arg(name, 0, 3600000)); break;
        case SEED: o.seed = static_cast<uint64_t>(number_arg(name, 0, 0x7FFFFFFF)); break;
        case RECORD: o.record = optarg; break;
        case CAPTURE: o.capture = optarg; break;
        case REPLAY: o.replay = optarg; break;
        case SPEED: o.speed = speed_arg(name); break;
        default: break;
        }
    });
    return o;
}

} // namespace sim
