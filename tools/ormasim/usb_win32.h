// The USB role of the Windows build: its command line (ormasim_usb_win32.cpp), the device with
// its data channels (usb_device_win32.cpp) and the control pipe (usb_control_win32.cpp).
#pragma once

#include "sim_module.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace usb {

constexpr char CONTROL_PIPE[] = "\\\\.\\pipe\\ormasim_usb";

struct Options : sim::ModuleOptions {
    int interfaces = 1;
    int closed = -1;
    int path_length = 0;
    std::string record;
    bool verbose = false;
    bool timestamps = false;
    std::string control;
};

constexpr size_t READ_BUFFER = 1024; // longer than any block: a longer one is reported

class Device;

// One interface's data channel and, while a process holds it, the module behind it; served on
// the device thread.
struct Channel : sim::Module::Port {
    Channel(Device& device, int index);
    void send(uint8_t tag, const sim::Bytes& message, bool notification, bool bad_checksum) override;
    void raw(const sim::Bytes& bytes, uint8_t flags) override;

    Device& device;
    int index;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED io{};
    bool held = false; // a process holds the channel open (else it listens, or is closed)
    std::unique_ptr<sim::Module> module; // while held: a new holder meets a fresh module
    uint8_t buffer[READ_BUFFER];
};

// The device: its interfaces, plugged or not, and the module. Everything runs on the device
// thread; control threads hand their requests over and wait for the reply.
class Device {
public:
    Device(const Options& o, sim::Context& context);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    std::string path(int i) const;
    bool opens(int i) const { return plugged_ && i != o_.closed; }

    // The device thread: serves the data channels until "quit". Returns the commands answered.
    long run();

    // From a control thread: the reply to one request, made on the device thread. The caller
    // calls replied() once it has passed the reply on.
    std::string ask(const std::string& request);
    void replied() { --in_flight_; }
    HANDLE first_control = INVALID_HANDLE_VALUE; // made before the ready line
    // Waits a little for the replies still being passed on (the reply to "quit" among them).
    void drain_replies() const;

    // One block to the holder of the channel, as one message of the data channel.
    void write(Channel& ch, const sim::Bytes& block);
    const Options& options() const { return o_; }
    sim::Context& context() { return context_; }

private:
    struct Pending {
        std::string request;
        std::string reply;
        bool done = false;
    };

    void serve_requests();
    std::string handle(const std::string& request);
    Channel* held_channel();
    void plug();
    void unplug();
    void listen(Channel& ch);
    void close(Channel& ch);
    void release(Channel& ch);
    void forget(Channel& ch);
    void start_read(Channel& ch);
    void complete(Channel& ch);
    void on_block(Channel& ch, const uint8_t* bytes, size_t size);
    void drop_if_asked(Channel& ch);
    void timers();
    DWORD timeout_ms() const;
    long answered() const;

    const Options& o_;
    sim::Context& context_;
    HANDLE wake_;
    std::vector<std::unique_ptr<Channel>> channels_;
    bool plugged_ = false;
    bool quit_ = false;
    long answered_before_ = 0; // by the modules of holders gone
    std::mutex lock_;
    std::condition_variable done_;
    std::deque<std::shared_ptr<Pending>> requests_;
    std::atomic<int> in_flight_{0};
};

// The control pipe: its first instance (before the ready line), the thread that accepts its
// connections, and the client of --control (its exit status).
HANDLE control_instance();
DWORD WINAPI accept_control(void* device);
int control_client(const std::string& request);

} // namespace usb
