// ormasim for Windows: plays the receiver's USB driver and module for the library's modes 3 and 4.
// This file holds the role's command line and its program; the device and its data channels are
// in usb_device_win32.cpp, the control pipe in usb_control_win32.cpp. The module's answers and
// notifications come from the same portable core as the serial and TCP roles. See --help.
#include "ormasim_win32.h"
#include "sim_cli.h"
#include "sim_replay.h"
#include "usb_win32.h"

#include <getopt.h>

#include <cstdio>
#include <string>
#include <thread>

namespace {

using sim::number_arg;
using sim::say;
using sim::usage_error;
using usb::Options;

const char* const HELP = R"(usage: ormasim --usb [options]
       ormasim --control REQUEST

Plays the receiver's USB device (driver and module) for the library's modes 3 and 4, as reached
by the test build of ORMA_DLL.dll (bin/simdev/). Without --usb this Windows build plays the TCP
role (ormasim --help); the serial role is in the Linux build.

The device has one or more interfaces "\\?\ormasim#usb#N#{b7aa4035-5d4b-4907-9175-891b827e2e09}";
each one that opens has a data channel "<interface path>\PIPE00" that one process at a time can
hold. Reads hand out one block each; blocks come in through the send-block control code.

Options may be given in any order; numbers are decimal.
  --usb               the USB role
  --interfaces N      number of interfaces (1 to 4, default 1)
  --closed-index I    interface I cannot be opened
  --path-length N     pads each interface path to N characters
  --notify MS         periodic notifications every MS milliseconds to client 0 while the device
                      is held open
  --silent-after N    answer the first N commands, then nothing
  --seed N            seed of the sub-channel notifications (default 1)
  --record FILE       append every block received to FILE, one line of hex each
  --capture FILE      the module's side of the link as a capture file (mode 3, the messages of
                      the blocks); see "Capture and replay" below
  --replay FILE       play the module's side of a capture; see below
  --speed X           with --replay: the notifications come X times as fast (default 1)
  -v, --verbose       print every block received and sent ("ormasim: rx ..."/"ormasim: tx ...")
  -t, --timestamps    begin each line with the time of day
  -V, --version       print the version

Answers: every block whose message code is below 0x80 is a command, answered to the client number
of its command with the code 0x80 | (code & 0x3F) and the payload echoed. Control commands (code
0x7F): 7F 01 hh ll periodic notifications every hhll ms to client 0 (0 stops), 7F 02 n n
sub-channel notifications before the answer, 7F 03 an error notification before the answer,
7F 04 silence from now on, 7F 05 the device drops its data channel at once, 7F 06 hh ll answer
after hhll ms (later answers keep their order). Notifications: E0 46 w w w w t t t t and
F0 e c t t t t, as in the Linux build's help.

Control requests (--control, to the running simulator): "unplug" (the data channels close, reads
and opens fail, the enumeration finds nothing), "plug", "inject HEX" (the device sends the block
HEX as it is), "state", "quit". A line "ormasim: ready" follows the interface lines once the
device listens.

)";

Options parse_options(int argc, char** argv)
{
    enum { USB = 256, INTERFACES, CLOSED, PATH_LENGTH, NOTIFY, SILENT_AFTER, SEED, RECORD, CAPTURE, REPLAY, SPEED, CONTROL, LINUX_ROLE };
    const std::initializer_list<option> own = {
        {"usb", no_argument, nullptr, USB},
        {"interfaces", required_argument, nullptr, INTERFACES},
        {"closed-index", required_argument, nullptr, CLOSED},
        {"path-length", required_argument, nullptr, PATH_LENGTH},
        {"notify", required_argument, nullptr, NOTIFY},
        {"silent-after", required_argument, nullptr, SILENT_AFTER},
        {"seed", required_argument, nullptr, SEED},
        {"record", required_argument, nullptr, RECORD},
        {"capture", required_argument, nullptr, CAPTURE},
        {"replay", required_argument, nullptr, REPLAY},
        {"speed", required_argument, nullptr, SPEED},
        {"control", required_argument, nullptr, CONTROL},
        {"tcp", no_argument, nullptr, LINUX_ROLE},
        {"serial", no_argument, nullptr, LINUX_ROLE},
    };
    Options o;
    const std::string help = std::string(HELP) + sim::CAPTURE_HELP;
    sim::parse_command_line(argc, argv, own, help.c_str(), o.verbose, o.timestamps, [&](int c, const char* name) {
        switch (c) {
        case USB: break;
        case INTERFACES: o.interfaces = static_cast<int>(number_arg(name, 1, 4)); break;
        case CLOSED: o.closed = static_cast<int>(number_arg(name, 0, 3)); break;
        case PATH_LENGTH: o.path_length = static_cast<int>(number_arg(name, 0, 400)); break;
        case NOTIFY: o.notify_ms = static_cast<int>(number_arg(name, 0, 3600000)); break;
        case SILENT_AFTER: o.silent_after = number_arg(name, 0, 1L << 30); break;
        case SEED: o.seed = static_cast<uint64_t>(number_arg(name, 0, 0x7FFFFFFF)); break;
        case RECORD: o.record = optarg; break;
        case CAPTURE: o.capture = optarg; break;
        case REPLAY: o.replay = optarg; break;
        case SPEED: o.speed = sim::speed_arg(name); break;
        case CONTROL: o.control = optarg; break;
        case LINUX_ROLE: usage_error(std::string("--") + name + " is another role than --usb; give one");
        default: break;
        }
    });
    return o;
}

usb::Device* g_device = nullptr;

BOOL WINAPI on_console_event(DWORD)
{
    if (g_device)
        std::thread([] { g_device->ask("quit"); }).detach();
    return TRUE;
}

} // namespace

int main(int argc, char** argv)
{
    if (!ormasim_usb_role(argc, argv))
        return ormasim_tcp_main(argc, argv);
    const Options o = parse_options(argc, argv);
    sim::g_timestamps = o.timestamps;
    if (!o.control.empty())
        return usb::control_client(o.control);
    if (o.closed >= o.interfaces)
        usage_error("--closed-index must name one of the interfaces");
    FILE* record = nullptr;
    if (!o.record.empty() && !(record = std::fopen(o.record.c_str(), "a")))
        usage_error("cannot open " + o.record);
    sim::Rng rng(o.seed);
    sim::Recording recording(o, 3);
    sim::Context context{rng, record, sim::Clock::now(), recording.capture.get(), recording.replay.get()};
    usb::Device device(o, context);
    g_device = &device;
    SetConsoleCtrlHandler(on_console_event, TRUE);
    device.first_control = usb::control_instance();
    if (device.first_control == INVALID_HANDLE_VALUE)
        return 1;
    CloseHandle(CreateThread(nullptr, 0, usb::accept_control, &device, 0, nullptr));
    const long answered = device.run();
    device.drain_replies();
    if (recording.replay)
        recording.replay->report();
    say("stopped, " + std::to_string(answered) + " commands answered");
    recording.capture.reset(); // closed before the process ends
    if (record)
        std::fclose(record);
    ExitProcess(0); // the control threads end with the process
}
