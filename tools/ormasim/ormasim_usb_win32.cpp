// ormasim for Windows: plays the receiver's USB driver and module for the library's modes 3 and 4.
// The device's data channel of each interface is a single-instance named pipe in message mode, so
// only one process at a time holds the device open: one block per read, one block per write. A
// control pipe answers what the test build's driver table asks (interfaces, versions) and takes
// commands (unplug, plug, inject, quit). The module's answers and notifications come from the same
// portable core as the serial and TCP roles of the Linux build. See --help.
#include "ormasim_win32.h"
#include "sim_cli.h"
#include "sim_core.h"

#include <windows.h>

#include <getopt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using sim::number_arg;
using sim::say;
using sim::usage_error;

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

constexpr char CONTROL_PIPE[] = "\\\\.\\pipe\\ormasim_usb";
constexpr char DATA_PIPE[] = "\\\\.\\pipe\\ormasim_usb_dev";
constexpr char PATH_PREFIX[] = "\\\\?\\ormasim#usb#";
constexpr char GUID_TEXT[] = "{b7aa4035-5d4b-4907-9175-891b827e2e09}";
constexpr DWORD PIPE_BUFFER = 65536;
constexpr DWORD WRITE_BOUND_MS = 2000;
constexpr size_t READ_BUFFER = 1024; // longer than any block: a longer one is reported

// The driver's three version queries, each with selector 1 and 0. The last reply fills all 64
// bytes and has no terminating zero.
struct Version {
    DWORD code;
    const char* selector1;
    const char* selector0;
};
constexpr Version VERSIONS[] = {
    {0x22001C, "ormasim usb driver", "1.0.0"},
    {0x220018, "ormasim device lib", "1.0.0 simulated"},
    {0x220014, "ormasim interface", "interface library 1.0.0, simulated: a reply of 64 bytes, no zero"},
};
static_assert(std::char_traits<char>::length(VERSIONS[2].selector0) == 64);

struct Options {
    int interfaces = 1;
    int closed = -1;
    int path_length = 0;
    int notify_ms = 0;
    long silent_after = -1;
    uint64_t seed = 1;
    std::string record;
    bool verbose = false;
    bool timestamps = false;
    std::string control;
};

Options parse_options(int argc, char** argv)
{
    enum { USB = 256, INTERFACES, CLOSED, PATH_LENGTH, NOTIFY, SILENT_AFTER, SEED, RECORD, CONTROL, LINUX_ROLE };
    const std::initializer_list<option> own = {
        {"usb", no_argument, nullptr, USB},
        {"interfaces", required_argument, nullptr, INTERFACES},
        {"closed-index", required_argument, nullptr, CLOSED},
        {"path-length", required_argument, nullptr, PATH_LENGTH},
        {"notify", required_argument, nullptr, NOTIFY},
        {"silent-after", required_argument, nullptr, SILENT_AFTER},
        {"seed", required_argument, nullptr, SEED},
        {"record", required_argument, nullptr, RECORD},
        {"control", required_argument, nullptr, CONTROL},
        {"tcp", no_argument, nullptr, LINUX_ROLE},
        {"serial", no_argument, nullptr, LINUX_ROLE},
    };
    Options o;
    sim::parse_command_line(argc, argv, own, HELP, o.verbose, o.timestamps, [&](int c, const char* name) {
        switch (c) {
        case USB: break;
        case INTERFACES: o.interfaces = static_cast<int>(number_arg(name, 1, 4)); break;
        case CLOSED: o.closed = static_cast<int>(number_arg(name, 0, 3)); break;
        case PATH_LENGTH: o.path_length = static_cast<int>(number_arg(name, 0, 400)); break;
        case NOTIFY: o.notify_ms = static_cast<int>(number_arg(name, 0, 3600000)); break;
        case SILENT_AFTER: o.silent_after = number_arg(name, 0, 1L << 30); break;
        case SEED: o.seed = static_cast<uint64_t>(number_arg(name, 0, 0x7FFFFFFF)); break;
        case RECORD: o.record = optarg; break;
        case CONTROL: o.control = optarg; break;
        case LINUX_ROLE: usage_error(std::string("--") + name + " is another role than --usb; give one");
        default: break;
        }
    });
    return o;
}

bool parse_hex(const std::string& text, sim::Bytes& out)
{
    out.clear();
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        char* end = nullptr;
        const std::string pair = text.substr(i, 2);
        const unsigned long byte = std::strtoul(pair.c_str(), &end, 16);
        if (pair.size() != 2 || *end)
            return false;
        out.push_back(static_cast<uint8_t>(byte));
        i += 2;
    }
    return !out.empty();
}

using Clock = std::chrono::steady_clock;

// One interface's data channel and the module session behind it, served on the device thread.
struct Channel {
    int index = 0;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED io{};
    bool held = false; // a process holds the channel open (else it listens, or is closed)
    uint8_t buffer[READ_BUFFER];
    struct Delayed {
        Clock::time_point due;
        uint8_t client;
        sim::Bytes message;
    };
    std::deque<Delayed> delayed;
    int notify_ms = 0;
    Clock::time_point next_notify;
    long ticks = 0;
    long received = 0;
    bool silent = false;
    uint8_t last_command = 0;
};

// The device: its interfaces, plugged or not, and the module. Everything runs on the device
// thread; control threads hand their requests over and wait for the reply.
class Device {
public:
    explicit Device(const Options& o) : o_(o), rng_(o.seed), epoch_(Clock::now())
    {
        wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        for (int i = 0; i < o.interfaces; ++i) {
            auto ch = std::make_unique<Channel>();
            ch->index = i;
            ch->io.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            channels_.push_back(std::move(ch));
        }
        if (!o.record.empty() && !(record_ = std::fopen(o.record.c_str(), "a")))
            usage_error("cannot open " + o.record);
    }

    std::string path(int i) const
    {
        std::string p = PATH_PREFIX + std::to_string(i) + "#";
        const size_t base = p.size() + sizeof GUID_TEXT - 1;
        if (static_cast<size_t>(o_.path_length) > base)
            p.append(o_.path_length - base, 'x');
        return p + GUID_TEXT;
    }
    bool opens(int i) const { return plugged_ && i != o_.closed; }

    // The device thread: serves the data channels until "quit". Returns the commands answered.
    long run()
    {
        plug();
        for (int i = 0; i < o_.interfaces; ++i)
            say("interface " + std::to_string(i) + (opens(i) ? "" : " (cannot be opened)") + ": " + path(i));
        say("ready");
        while (!quit_) {
            std::vector<HANDLE> events{wake_};
            for (auto& ch : channels_)
                if (ch->pipe != INVALID_HANDLE_VALUE)
                    events.push_back(ch->io.hEvent);
            WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, timeout_ms());
            serve_requests();
            for (auto& ch : channels_)
                if (ch->pipe != INVALID_HANDLE_VALUE && WaitForSingleObject(ch->io.hEvent, 0) == WAIT_OBJECT_0)
                    complete(*ch);
            timers();
        }
        for (auto& ch : channels_)
            close(*ch);
        return answered_;
    }

    // From a control thread: the reply to one request, made on the device thread. The caller
    // calls replied() once it has passed the reply on.
    std::string ask(const std::string& request)
    {
        ++in_flight_;
        auto pending = std::make_shared<Pending>();
        pending->request = request;
        std::unique_lock lock(lock_);
        requests_.push_back(pending);
        SetEvent(wake_);
        done_.wait(lock, [&] { return pending->done; });
        return pending->reply;
    }
    void replied() { --in_flight_; }
    HANDLE first_control = INVALID_HANDLE_VALUE; // made before the ready line
    // Waits a little for the replies still being passed on (the reply to "quit" among them).
    void drain_replies() const
    {
        for (int i = 0; i < 100 && in_flight_ > 0; ++i)
            Sleep(10);
    }

private:
    struct Pending {
        std::string request;
        std::string reply;
        bool done = false;
    };

    void serve_requests()
    {
        std::deque<std::shared_ptr<Pending>> taken;
        {
            std::lock_guard lock(lock_);
            taken.swap(requests_);
        }
        for (auto& p : taken) {
            const std::string reply = handle(p->request);
            std::lock_guard lock(lock_);
            p->reply = reply;
            p->done = true;
        }
        done_.notify_all();
    }

    std::string handle(const std::string& request)
    {
        const std::string verb = request.substr(0, request.find(' '));
        const std::string arg = request.size() > verb.size() ? request.substr(verb.size() + 1) : "";
        if (verb == "ENUM") {
            std::string list;
            for (int i = 0; plugged_ && i < o_.interfaces; ++i)
                list += path(i) + "\n";
            return list;
        }
        if (verb == "OPEN")
            return opens(std::atoi(arg.c_str())) ? "ok" : "refused";
        if (verb == "VERSION") {
            unsigned long code = 0;
            int selector = -1;
            std::sscanf(arg.c_str(), "%lx %d", &code, &selector);
            for (const Version& v : VERSIONS)
                if (plugged_ && v.code == code && (selector == 0 || selector == 1))
                    return std::string("=") + (selector ? v.selector1 : v.selector0);
            return "!";
        }
        if (verb == "unplug" || verb == "plug") {
            verb == "plug" ? plug() : unplug();
            say(verb == "plug" ? "plugged in" : "unplugged");
            return "ok";
        }
        if (verb == "inject") {
            sim::Bytes block;
            Channel* ch = held_channel();
            if (!parse_hex(arg, block) || !ch)
                return "refused";
            write(*ch, block);
            return "ok";
        }
        if (verb == "state") {
            Channel* ch = held_channel();
            return std::string(plugged_ ? "plugged" : "unplugged") + ", " +
                   (ch ? "held through interface " + std::to_string(ch->index) : "not held") + ", " +
                   std::to_string(answered_) + " answered";
        }
        if (verb == "quit") {
            quit_ = true;
            return "ok";
        }
        return "unknown request";
    }

    Channel* held_channel()
    {
        for (auto& ch : channels_)
            if (ch->held)
                return ch.get();
        return nullptr;
    }

    void plug()
    {
        plugged_ = true;
        for (auto& ch : channels_)
            if (opens(ch->index) && ch->pipe == INVALID_HANDLE_VALUE)
                listen(*ch);
    }

    void unplug()
    {
        plugged_ = false;
        for (auto& ch : channels_)
            close(*ch);
    }

    void listen(Channel& ch)
    {
        const std::string name = DATA_PIPE + std::to_string(ch.index);
        if (ch.pipe == INVALID_HANDLE_VALUE)
            ch.pipe = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, PIPE_BUFFER,
                                       PIPE_BUFFER, 0, nullptr);
        if (ch.pipe == INVALID_HANDLE_VALUE) {
            say("cannot create " + name + ": error " + std::to_string(GetLastError()));
            return;
        }
        reset_session(ch);
        ResetEvent(ch.io.hEvent);
        if (!ConnectNamedPipe(ch.pipe, &ch.io) && GetLastError() == ERROR_PIPE_CONNECTED)
            SetEvent(ch.io.hEvent);
    }

    // The device loses its state with the connection: a new holder starts afresh.
    void reset_session(Channel& ch)
    {
        ch.held = false;
        ch.delayed.clear();
        ch.notify_ms = o_.notify_ms;
        ch.next_notify = Clock::now() + std::chrono::milliseconds(ch.notify_ms);
        ch.received = 0;
        ch.silent = o_.silent_after == 0;
    }

    void close(Channel& ch)
    {
        if (ch.pipe == INVALID_HANDLE_VALUE)
            return;
        CancelIoEx(ch.pipe, &ch.io);
        DWORD ignored = 0;
        GetOverlappedResult(ch.pipe, &ch.io, &ignored, TRUE);
        CloseHandle(ch.pipe);
        ch.pipe = INVALID_HANDLE_VALUE;
        if (ch.held)
            say("device closed");
        reset_session(ch);
    }

    // The holder went away, or the device drops it: listen for the next one.
    void release(Channel& ch)
    {
        if (ch.held)
            say("device closed");
        DisconnectNamedPipe(ch.pipe);
        listen(ch);
    }

    void start_read(Channel& ch)
    {
        ResetEvent(ch.io.hEvent);
        if (!ReadFile(ch.pipe, ch.buffer, sizeof ch.buffer, nullptr, &ch.io)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
                release(ch);
        }
    }

    void complete(Channel& ch)
    {
        DWORD got = 0;
        const BOOL ok = GetOverlappedResult(ch.pipe, &ch.io, &got, FALSE);
        const DWORD error = ok ? 0 : GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return;
        if (!ch.held) {
            if (!ok) {
                release(ch);
                return;
            }
            ch.held = true;
            say("device opened through interface " + std::to_string(ch.index));
        } else if (ok) {
            on_block(ch, ch.buffer, got);
        } else if (error == ERROR_MORE_DATA) {
            say("rx block longer than " + std::to_string(sizeof ch.buffer) + " bytes: " + sim::hex(ch.buffer, 8) + " ...");
        } else {
            release(ch);
            return;
        }
        if (ch.pipe != INVALID_HANDLE_VALUE && ch.held)
            start_read(ch);
    }

    void on_block(Channel& ch, const uint8_t* bytes, size_t size)
    {
        if (record_) {
            std::fprintf(record_, "%s\n", sim::hex(bytes, size).c_str());
            std::fflush(record_);
        }
        if (o_.verbose)
            say("rx " + sim::hex(bytes, size));
        uint8_t client = 0;
        sim::Bytes message;
        if (!sim::read_block(bytes, size, client, message)) {
            say("rx no block: " + sim::hex(bytes, size));
            return;
        }
        if (!sim::is_command(message.data(), static_cast<int>(message.size())))
            return;
        ch.last_command = message[0];
        ++ch.received;
        if (message[0] == sim::CONTROL_CODE && message.size() >= 2 && !control(ch, client, message))
            return;
        if (ch.silent || (o_.silent_after >= 0 && ch.received > o_.silent_after)) {
            ch.silent = true;
            return;
        }
        ++answered_;
        auto delay = std::chrono::milliseconds(0);
        if (message[0] == sim::CONTROL_CODE && message.size() >= 4 && message[1] == sim::CTL_DELAY)
            delay = std::chrono::milliseconds(message[2] << 8 | message[3]);
        const sim::Bytes answer = sim::response_to(message.data(), static_cast<int>(message.size()));
        if (delay.count() > 0 || !ch.delayed.empty()) // answers keep their order
            ch.delayed.push_back({Clock::now() + delay, client, answer});
        else
            send(ch, client, answer);
    }

    // Applies a control command; false when it is not to be answered.
    bool control(Channel& ch, uint8_t client, const sim::Bytes& m)
    {
        switch (m[1]) {
        case sim::CTL_PERIODIC:
            if (m.size() >= 4) {
                ch.notify_ms = m[2] << 8 | m[3];
                ch.next_notify = Clock::now() + std::chrono::milliseconds(ch.notify_ms);
            }
            return true;
        case sim::CTL_SUBCHANNELS:
            for (int i = 0; m.size() >= 3 && i < m[2]; ++i)
                send_subchannel(ch, client);
            return true;
        case sim::CTL_ERROR:
            send(ch, client, sim::error_notification(1, ch.last_command, now_ms()));
            return true;
        case sim::CTL_SILENT:
            ch.silent = true;
            return false;
        case sim::CTL_DROP:
            say("dropping the data channel after " + std::to_string(ch.received) + " commands");
            release(ch);
            return false;
        default:
            return true;
        }
    }

    int32_t now_ms() const
    {
        return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - epoch_).count());
    }

    void send_subchannel(Channel& ch, uint8_t client)
    {
        const sim::SubChannel sc = sim::next_subchannel(rng_);
        send(ch, client, sim::subchannel_notification(sim::subchannel_word(sc), now_ms()));
    }

    void send(Channel& ch, uint8_t client, const sim::Bytes& message)
    {
        write(ch, sim::make_block(client, message));
    }

    // One block to the holder, as one message of the data channel.
    void write(Channel& ch, const sim::Bytes& block)
    {
        if (!ch.held)
            return;
        if (o_.verbose)
            say("tx " + sim::hex(block));
        OVERLAPPED w{};
        w.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        // A write that fails at once (the holder is gone) never completes: nothing to wait for.
        const bool started = WriteFile(ch.pipe, block.data(), static_cast<DWORD>(block.size()), nullptr, &w) ||
                             GetLastError() == ERROR_IO_PENDING;
        if (started && WaitForSingleObject(w.hEvent, WRITE_BOUND_MS) != WAIT_OBJECT_0) {
            CancelIoEx(ch.pipe, &w);
            say("the holder reads nothing: block dropped");
        }
        if (started)
            GetOverlappedResult(ch.pipe, &w, &n, TRUE);
        CloseHandle(w.hEvent);
    }

    void timers()
    {
        const auto now = Clock::now();
        for (auto& ch : channels_) {
            while (!ch->delayed.empty() && now >= ch->delayed.front().due) {
                send(*ch, ch->delayed.front().client, ch->delayed.front().message);
                ch->delayed.pop_front();
            }
            if (ch->held && ch->notify_ms > 0 && now >= ch->next_notify) {
                send_subchannel(*ch, 0);
                if (++ch->ticks % 4 == 0)
                    send(*ch, 0, sim::error_notification(2, ch->last_command, now_ms()));
                ch->next_notify = std::max(ch->next_notify + std::chrono::milliseconds(ch->notify_ms), now);
            }
        }
    }

    DWORD timeout_ms() const
    {
        auto next = Clock::time_point::max();
        for (const auto& ch : channels_) {
            if (!ch->delayed.empty())
                next = std::min(next, ch->delayed.front().due);
            if (ch->held && ch->notify_ms > 0)
                next = std::min(next, ch->next_notify);
        }
        if (next == Clock::time_point::max())
            return INFINITE;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        return left < 0 ? 0 : static_cast<DWORD>(left) + 1;
    }

    const Options& o_;
    sim::Rng rng_;
    Clock::time_point epoch_;
    FILE* record_ = nullptr;
    HANDLE wake_;
    std::vector<std::unique_ptr<Channel>> channels_;
    bool plugged_ = false;
    bool quit_ = false;
    long answered_ = 0;
    std::mutex lock_;
    std::condition_variable done_;
    std::deque<std::shared_ptr<Pending>> requests_;
    std::atomic<int> in_flight_{0};
};

// One control connection: one reply message for each request message.
struct Connection {
    Device& device;
    HANDLE pipe;
};

DWORD WINAPI serve_control(void* parameter)
{
    const auto* c = static_cast<Connection*>(parameter);
    char request[4096];
    DWORD got = 0;
    while (ReadFile(c->pipe, request, sizeof request, &got, nullptr)) {
        const std::string reply = c->device.ask(std::string(request, got));
        DWORD written = 0;
        const BOOL ok = WriteFile(c->pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
        c->device.replied();
        if (!ok)
            break;
    }
    DisconnectNamedPipe(c->pipe);
    CloseHandle(c->pipe);
    delete c;
    return 0;
}

HANDLE control_instance()
{
    const HANDLE pipe = CreateNamedPipeA(CONTROL_PIPE, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                         PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        say("cannot create the control pipe: error " + std::to_string(GetLastError()));
    return pipe;
}

// Accepts control connections, starting with the instance made before the ready line; each is
// served on a thread of its own (an open device handle of the driver table is such a connection,
// held while the library tests the interface).
DWORD WINAPI accept_control(void* parameter)
{
    auto& device = *static_cast<Device*>(parameter);
    for (HANDLE pipe = device.first_control; pipe != INVALID_HANDLE_VALUE;) {
        const bool connected = ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        // The next instance listens before this one can go away: the name never vanishes.
        const HANDLE next = control_instance();
        const HANDLE thread = connected ? CreateThread(nullptr, 0, serve_control, new Connection{device, pipe}, 0, nullptr) : nullptr;
        CloseHandle(thread ? thread : pipe);
        pipe = next;
    }
    return 0;
}

// --control: one request to the running simulator, its reply printed.
int control_client(const std::string& request)
{
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int tries = 0; pipe == INVALID_HANDLE_VALUE && tries < 2; ++tries) {
        pipe = CreateFileA(CONTROL_PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE && (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeA(CONTROL_PIPE, 2000)))
            break;
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "ormasim: no USB simulator runs (%s)\n", CONTROL_PIPE);
        return 1;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    char reply[4096];
    DWORD n = 0;
    const bool ok = WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &n, nullptr) &&
                    ReadFile(pipe, reply, sizeof reply, &n, nullptr);
    CloseHandle(pipe);
    if (ok)
        std::printf("%.*s\n", static_cast<int>(n), reply);
    return ok && std::strncmp(reply, "ok", n) == 0 ? 0 : 1;
}

Device* g_device = nullptr;

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
        return control_client(o.control);
    if (o.closed >= o.interfaces)
        usage_error("--closed-index must name one of the interfaces");
    Device device(o);
    g_device = &device;
    SetConsoleCtrlHandler(on_console_event, TRUE);
    device.first_control = control_instance();
    if (device.first_control == INVALID_HANDLE_VALUE)
        return 1;
    CloseHandle(CreateThread(nullptr, 0, accept_control, &device, 0, nullptr));
    const long answered = device.run();
    device.drain_replies();
    say("stopped, " + std::to_string(answered) + " commands answered");
    ExitProcess(0); // the control threads end with the process
}
