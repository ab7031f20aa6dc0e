// The USB device's control pipe: it answers what the test build's driver table asks
// (interfaces, versions) and takes the requests of --control (unplug, plug, inject, state,
// quit). Each connection is served on a thread of its own; the device thread makes the replies.
#include "sim_cli.h"
#include "usb_win32.h"

#include <cstdio>
#include <cstring>

namespace usb {

namespace {

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

} // namespace

HANDLE control_instance()
{
    const HANDLE pipe = CreateNamedPipeA(CONTROL_PIPE, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                         PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        sim::say("cannot create the control pipe: error " + std::to_string(GetLastError()));
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

} // namespace usb
