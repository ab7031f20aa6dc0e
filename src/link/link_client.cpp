// The link client of the serial and TCP links: configuration, callbacks, start and stop, and
// ClientReceiveThread, which cuts frames out of the byte stream and dispatches their messages.
#include "link/link_client.h"

#include "link/com_port.h"
#include "link/frame.h"
#include "link/tcp_link.h"
#include "support/console.h"
#include "support/sem.h"
#include "support/thread.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace {

constexpr auto START_WAIT = std::chrono::milliseconds(1000);
constexpr unsigned STOP_LIMIT_MS = 10000;
// When the library is unloaded, the receive thread is waited for this long at most.
constexpr unsigned UNLOAD_LIMIT_MS = 2000;
// How long the line must stay quiet before a frame that cannot complete is given up.
constexpr int QUIET_MS = 100;

struct LinkClient {
    LinkConfig config{};
    std::atomic<ReceiveCallback> first{nullptr};
    std::atomic<ReceiveCallback> second{nullptr};
    std::atomic<void (*)()> lost{nullptr};
    LinkOps ops{};
    std::atomic<int32_t> running{0};
    SemHandle* semaphore = nullptr;

    // The link is open from a successful open until the first close, by the stop or by the
    // receive thread after a failed read; the lock makes that close happen once.
    std::mutex link_lock;
    bool link_open = false;

    LibThread* thread = nullptr;
    // Each start's thread has its own number: a thread that a stop had to give up ends by itself
    // when it gets back, and never touches a later start's link or state.
    std::atomic<uint32_t> generation{0};
};

// Never destroyed: a receive thread that a stop had to give up may still touch it while the
// process exits.
LinkClient& g_client = *new LinkClient;

// Closes the link unless it is closed already; with the line, as the stop does it.
void close_link(bool from_stop)
{
    std::lock_guard lock(g_client.link_lock);
    if (!g_client.link_open)
        return;
    if (from_stop)
        console_write(ConsoleStream::Err, "ORMA_Cli_Stop: Closing com interface\n");
    g_client.ops.close(g_client.ops.context);
    g_client.link_open = false;
}

void wake_link()
{
    std::lock_guard lock(g_client.link_lock);
    if (g_client.link_open && g_client.ops.wake)
        g_client.ops.wake(g_client.ops.context);
}

bool still_running(uint32_t mine)
{
    return g_client.running && g_client.generation == mine;
}

void ClientReceiveThread(void* arg)
{
    const auto mine = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
    console_write(ConsoleStream::Out, "ClientReceiveThread started\n");
    const std::unique_ptr<RxBuffer> owned(new (std::nothrow) RxBuffer);
    RxBuffer& buf = *owned;
    if (owned)
        rxbuf_reset(&buf);
    const LinkOps ops = g_client.ops;
    while (owned) {
        int space = 0;
        uint8_t* at = rxbuf_prepare_read(&buf, &space); // a full buffer drops its noise
        // While bytes are held that make no frame yet, wait for more only as long as the line
        // keeps talking; after a quiet spell the unfinished frame is given up.
        const bool holding = buf.fill > 0;
        const int count = holding && ops.read_timeout ? ops.read_timeout(ops.context, at, space, QUIET_MS)
                                                       : ops.read(ops.context, at, space);
        if (count < 0) {
            if (still_running(mine))
                close_link(false);
            break;
        }
        const bool quiet = count == 0;
        if (!quiet)
            rxbuf_commit(&buf, count);
        // Every message is handed over only while this start's thread is meant to run: a thread
        // that a stop had to give up (its callback held it too long) drops what it still holds.
        const uint8_t* frame = nullptr;
        int length = 0;
        while (still_running(mine) && (length = frame_extract(&buf, &frame, quiet)) > 0)
            link_dispatch(frame, length);
        if (!still_running(mine))
            break;
    }
}

enum class Stopped { NoThread, Left, GivenUp, Own };

// Asks the receive thread to end, wakes it from a read, and waits at most `limit_ms` until it
// has left; the thread is given up either way.
Stopped stop_thread(unsigned limit_ms)
{
    g_client.running = 0;
    LibThread* thread = g_client.thread;
    if (!thread)
        return Stopped::NoThread;
    g_client.thread = nullptr;
    Stopped how = Stopped::Own; // stopped from a callback on the thread: it ends after this dispatch
    if (!thread_is_current(thread)) {
        wake_link(); // a read waiting on a silent module returns at once
        how = thread_wait_left(thread, limit_ms) ? Stopped::Left : Stopped::GivenUp;
    }
    thread_forget(thread);
    return how;
}

} // namespace

void link_dispatch(const uint8_t* frame, int length)
{
    const uint8_t* message = frame + 2;
    const int32_t size = length - FRAME_OVERHEAD;
    ReceiveCallback target = nullptr;
    if (frame[0] != FRAME_START_FLOW) {
        target = g_client.first;
    } else if (msg_is_response(message[0])) {
        target = g_client.first;
    } else if (msg_is_notification(message[0])) {
        target = g_client.second;
    } else {
        console_write(ConsoleStream::Err, "ORMA_Client: received invalid message\n");
        return;
    }
    if (target)
        target(message, size);
}

void ORMA_Cli_Configure(const LinkConfig* config)
{
    g_client.first = nullptr;
    g_client.second = nullptr;
    g_client.config.type = 0;
    if (config)
        g_client.config = *config;
}

void ORMA_Cli_SetCallbacks(ReceiveCallback first, ReceiveCallback second)
{
    if (first)
        g_client.first = first;
    if (second)
        g_client.second = second;
}

void ORMA_Cli_SetLinkLost(void (*lost)())
{
    g_client.lost = lost;
}

int ORMA_Cli_Start()
{
    if (g_client.thread || g_client.semaphore)
        ORMA_Cli_Stop(); // started before and not stopped: never leave a thread or a link behind
    g_client.running = 0;
    console_fetch_handles();
    console_write(ConsoleStream::Out, "ORMA_Cli_Start()\n");

    g_client.semaphore = sem_os_create();
    if (!g_client.semaphore) {
        console_write(ConsoleStream::Err, "CreateSemaphore failed!\n");
        return -1;
    }

    const LinkConfig& config = g_client.config;
    g_client.ops = LinkOps{};
    if (config.type == LINK_TCP)
        tcp_install(&g_client.ops, config.tcp.address, config.tcp.port, TCP_ROLE_CLIENT);
    else if (config.type == LINK_COM)
        com_install(&g_client.ops, config.com.port, config.com.baud, config.com.parity, config.com.data_bits,
                    config.com.stop_bits);
    else
        tcp_install(&g_client.ops, nullptr, TCP_DEFAULT_PORT, TCP_ROLE_CLIENT);

    if (g_client.ops.open(g_client.ops.context) < 0) {
        console_write(ConsoleStream::Err, "Open() failed\n!");
        return -1;
    }
    {
        std::lock_guard lock(g_client.link_lock);
        g_client.link_open = true;
    }

    // The flag is raised before the thread exists, so that a stop can never be overtaken by it;
    // the new number comes first, so that a thread given up earlier cannot take the flag as its own.
    const uint32_t mine = ++g_client.generation;
    g_client.running = 1;
    g_client.thread = thread_start(ClientReceiveThread, reinterpret_cast<void*>(static_cast<uintptr_t>(mine)));
    if (!g_client.thread) {
        g_client.running = 0;
        console_print(ConsoleStream::Err, "ORMA_Srv_Init: _beginthread() failed!: %s\n", std::strerror(errno));
        console_write(ConsoleStream::Err, "ORMA_Cli_Init: _beginthread() failed!\n");
        return -1;
    }
    std::this_thread::sleep_for(START_WAIT);
    return 0;
}

int ORMA_Cli_Stop()
{
    const Stopped how = stop_thread(STOP_LIMIT_MS);
    if (how == Stopped::Left)
        console_write(ConsoleStream::Err, "ORMA_Cli_Stop: ReceiveThread terminated\n");
    else if (how == Stopped::GivenUp) // held up in a callback: it ends by itself when it gets back
        console_write(ConsoleStream::Err, "ORMA_Cli_Stop: ReceiveThread hasn't terminated\n");
    close_link(true);
    sem_os_close(g_client.semaphore);
    g_client.semaphore = nullptr;
    return 0;
}

void ORMA_Cli_Unload()
{
    stop_thread(UNLOAD_LIMIT_MS);
    std::lock_guard lock(g_client.link_lock);
    if (g_client.link_open)
        g_client.ops.close(g_client.ops.context);
    g_client.link_open = false;
    sem_os_close(g_client.semaphore);
    g_client.semaphore = nullptr;
}

const LinkOps* ORMA_Cli_Ops()
{
    return &g_client.ops;
}
