// The simulated USB device: each interface's data channel is a single-instance named pipe in
// message mode, so only one process at a time holds the device open: one block per read, one
// block per write. Behind each held channel runs the module (sim_module.cpp), as behind every
// other role's link; the control pipe's requests are served here too, on the device thread.
#include "sim_capture.h"
#include "sim_cli.h"
#include "sim_replay.h"
#include "usb_win32.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace usb {

namespace {

using sim::Clock;
using sim::say;

constexpr char DATA_PIPE[] = "\\\\.\\pipe\\ormasim_usb_dev";
constexpr char PATH_PREFIX[] = "\\\\?\\ormasim#usb#";
constexpr char GUID_TEXT[] = "{b7aa4035-5d4b-4907-9175-891b827e2e09}";
constexpr DWORD PIPE_BUFFER = 65536;
constexpr DWORD WRITE_BOUND_MS = 2000;

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

} // namespace

Channel::Channel(Device& d, int i) : device(d), index(i)
{
    io.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// A message to a client as one block; notifications of the device's own go to client 0.
void Channel::send(uint8_t tag, const sim::Bytes& message, bool, bool)
{
    if (device.context().capture && held)
        device.context().capture->sent(message, 0);
    device.write(*this, sim::make_block(tag, message));
}

// Noise and spoiled frames of a framed link's capture: the USB link has neither.
void Channel::raw(const sim::Bytes& bytes, uint8_t)
{
    if (device.options().verbose)
        say("tx skipped, no block: " + sim::hex(bytes));
}

Device::Device(const Options& o, sim::Context& context) : o_(o), context_(context)
{
    wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (int i = 0; i < o.interfaces; ++i)
        channels_.push_back(std::make_unique<Channel>(*this, i));
}

Device::~Device()
{
    for (auto& ch : channels_)
        CloseHandle(ch->io.hEvent);
    CloseHandle(wake_);
}

std::string Device::path(int i) const
{
    std::string p = PATH_PREFIX + std::to_string(i) + "#";
    const size_t base = p.size() + sizeof GUID_TEXT - 1;
    if (static_cast<size_t>(o_.path_length) > base)
        p.append(o_.path_length - base, 'x');
    return p + GUID_TEXT;
}

long Device::run()
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
    return answered();
}

std::string Device::ask(const std::string& request)
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

void Device::drain_replies() const
{
    for (int i = 0; i < 100 && in_flight_ > 0; ++i)
        Sleep(10);
}

long Device::answered() const
{
    long answered = answered_before_;
    for (const auto& ch : channels_)
        answered += ch->module ? ch->module->answered() : 0;
    return answered;
}

void Device::serve_requests()
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

std::string Device::handle(const std::string& request)
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
        uint8_t client = 0;
        sim::Bytes message;
        if (context_.capture && sim::read_block(block.data(), block.size(), client, message))
            context_.capture->sent(message, 0);
        write(*ch, block);
        return "ok";
    }
    if (verb == "state") {
        Channel* ch = held_channel();
        return std::string(plugged_ ? "plugged" : "unplugged") + ", " +
               (ch ? "held through interface " + std::to_string(ch->index) : "not held") + ", " +
               std::to_string(answered()) + " answered";
    }
    if (verb == "quit") {
        quit_ = true;
        return "ok";
    }
    return "unknown request";
}

Channel* Device::held_channel()
{
    for (auto& ch : channels_)
        if (ch->held)
            return ch.get();
    return nullptr;
}

void Device::plug()
{
    plugged_ = true;
    for (auto& ch : channels_)
        if (opens(ch->index) && ch->pipe == INVALID_HANDLE_VALUE)
            listen(*ch);
}

void Device::unplug()
{
    plugged_ = false;
    for (auto& ch : channels_) {
        if (ch->held && context_.capture)
            context_.capture->link(false);
        close(*ch);
    }
}

void Device::listen(Channel& ch)
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
    forget(ch);
    ResetEvent(ch.io.hEvent);
    if (!ConnectNamedPipe(ch.pipe, &ch.io) && GetLastError() == ERROR_PIPE_CONNECTED)
        SetEvent(ch.io.hEvent);
}

// The device loses its state with the connection: a new holder starts afresh.
void Device::forget(Channel& ch)
{
    ch.held = false;
    if (!ch.module)
        return;
    answered_before_ += ch.module->answered();
    ch.module.reset();
    if (context_.replay)
        context_.replay->report();
}

void Device::close(Channel& ch)
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
    forget(ch);
}

// The holder went away, or the device drops it: listen for the next one.
void Device::release(Channel& ch)
{
    if (ch.held)
        say("device closed");
    DisconnectNamedPipe(ch.pipe);
    listen(ch);
}

void Device::start_read(Channel& ch)
{
    ResetEvent(ch.io.hEvent);
    if (!ReadFile(ch.pipe, ch.buffer, sizeof ch.buffer, nullptr, &ch.io)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
            release(ch);
    }
}

void Device::complete(Channel& ch)
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
        ch.module = std::make_unique<sim::Module>(o_, context_, ch, false);
        ch.module->begin_replay();
        if (context_.capture)
            context_.capture->link(true);
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

void Device::on_block(Channel& ch, const uint8_t* bytes, size_t size)
{
    if (context_.record) {
        std::fprintf(context_.record, "%s\n", sim::hex(bytes, size).c_str());
        std::fflush(context_.record);
    }
    if (o_.verbose)
        say("rx " + sim::hex(bytes, size));
    uint8_t client = 0;
    sim::Bytes message;
    if (!sim::read_block(bytes, size, client, message)) {
        say("rx no block: " + sim::hex(bytes, size));
        return;
    }
    if (context_.capture)
        context_.capture->received(message, 0);
    ch.module->receive(client, message.data(), message.size());
    drop_if_asked(ch);
}

// The module drops the link (7F 05, a recorded drop): at once, nothing after it is answered.
void Device::drop_if_asked(Channel& ch)
{
    if (!ch.module->drop_pending())
        return;
    say("dropping the data channel after " + std::to_string(ch.module->received()) + " commands");
    if (context_.capture)
        context_.capture->link(false);
    release(ch);
}

void Device::write(Channel& ch, const sim::Bytes& block)
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

void Device::timers()
{
    for (auto& ch : channels_) {
        if (!ch->held || !ch->module)
            continue;
        ch->module->timers();
        drop_if_asked(*ch);
    }
}

DWORD Device::timeout_ms() const
{
    int timeout = -1;
    for (const auto& ch : channels_) {
        const int t = ch->held && ch->module ? ch->module->timeout_ms() : -1;
        if (t >= 0 && (timeout < 0 || t < timeout))
            timeout = t;
    }
    return timeout < 0 ? INFINITE : static_cast<DWORD>(timeout);
}

} // namespace usb
