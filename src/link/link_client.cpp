// The link client of the serial and TCP links: configuration, callbacks, start and stop, and
// ClientReceiveThread, which cuts frames out of the byte stream and dispatches their messages.
#include "link/link_client.h"

#include "capture/capture.h"
#include "link/com_port.h"
#include "link/frame.h"
#include "link/tcp_link.h"
#include "support/console.h"
#include "support/options.h"
#include "support/sem.h"
#include "support/thread.h"
#include "support/timed_lock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

namespace {

constexpr unsigned STOP_LIMIT_MS = 10000;
// A link that takes nothing of a frame for this long has failed.
constexpr int WRITE_BOUND_MS = 1000;
// When the library is unloaded, the receive thread is waited for this long at most.
constexpr unsigned UNLOAD_LIMIT_MS = 2000;
// How long the line must stay quiet before the scan looks past a frame that cannot complete.
constexpr int QUIET_MS = 100;
// A link that failed is opened again this often, until the stop.
constexpr auto RETRY_EVERY = std::chrono::milliseconds(300);

struct LinkClient {
    LinkConfig config{};
    std::atomic<ReceiveCallback> first{nullptr};
    std::atomic<ReceiveCallback> second{nullptr};
    std::atomic<void (*)()> lost{nullptr};
    std::atomic<void (*)()> up{nullptr};
    std::atomic<int32_t> running{0};
    SemHandle* semaphore = nullptr;

    // The operation table and the state of the link are kept under this lock: the start fills
    // the table, and every open after the start's, every close and every wake happen under it.
    // Writes, reads and the receive thread's opens to come back run outside it, so that no
    // peer can hold a thread that needs it; a wake ends them at once. A close waits until the
    // writes under way have ended, so that nothing is written through a link being closed.
    std::mutex link_lock;
    std::condition_variable changed; // the stop, or the last write under way has ended
    LinkOps ops{};
    bool link_open = false;   // from a successful open to the next close
    bool attempting = false;  // the receive thread is opening the link again
    bool reconnect = false;   // this start's link comes back after a failure
    int writers = 0;          // writes under way
    bool write_failed = false; // a write on the open link failed: the receive thread gives it up
    // Frames go out one at a time; each write is bounded and ends at a wake.
    TimedLock write_lock;

    LibThread* thread = nullptr;
    // Each start's thread has its own number: a thread that a stop had to give up ends by itself
    // when it gets back, and never touches a later start's link or state.
    std::atomic<uint32_t> generation{0};
};

// Never destroyed: a receive thread that a stop had to give up may still touch it while the
// process exits.
LinkClient& g_client = *new LinkClient;

// Closes the open link under the lock: no write begins after it, those under way are woken and
// waited for, then the transport closes. The wait is bounded: the host may have ended a writer's
// thread in the middle of its write.
void close_locked(std::unique_lock<std::mutex>& lock)
{
    g_client.link_open = false;
    if (g_client.writers > 0 && g_client.ops.wake)
        g_client.ops.wake(g_client.ops.context);
    g_client.changed.wait_for(lock, std::chrono::milliseconds(UNLOAD_LIMIT_MS), [] { return g_client.writers == 0; });
    g_client.ops.close(g_client.ops.context);
    g_client.write_failed = false;
}

// Closes the link unless it is closed already; with the line, as the stop does it.
void close_link(bool from_stop)
{
    std::unique_lock lock(g_client.link_lock);
    if (!g_client.link_open)
        return;
    if (from_stop)
        console_write(ConsoleStream::Err, "ORMA_Cli_Stop: Closing com interface\n");
    close_locked(lock);
}

void wake_link()
{
    std::lock_guard lock(g_client.link_lock);
    g_client.changed.notify_all();
    if ((g_client.link_open || g_client.attempting) && g_client.ops.wake)
        g_client.ops.wake(g_client.ops.context);
}

bool still_running(uint32_t mine)
{
    return g_client.running && g_client.generation == mine;
}

// The host hears of the link's state as the module's notifications reach it.
void tell_host(uint32_t mine, const uint8_t (&notification)[6])
{
    const ReceiveCallback second = g_client.second;
    if (second && still_running(mine)) {
        capture_message(orma_capture::TO_HOST, orma_capture::MADE_UP, notification, sizeof notification);
        second(notification, sizeof notification);
    }
}

// The link went down: the command in flight gets its "no answer".
void answer_lost(uint32_t mine)
{
    void (*lost)() = g_client.lost;
    if (lost && still_running(mine))
        lost();
}

// Opens the link again every RETRY_EVERY until it is up (true) or the stop comes (false). The
// attempts print nothing: the outage has had its line.
bool come_back(uint32_t mine)
{
    auto next_attempt = std::chrono::steady_clock::now() + RETRY_EVERY;
    for (;;) {
        LinkOps ops{};
        {
            std::unique_lock lock(g_client.link_lock);
            g_client.changed.wait_until(lock, next_attempt, [&] { return !still_running(mine); });
            if (!still_running(mine))
                return false;
            g_client.attempting = true;
            ops = g_client.ops;
        }
        console_mute_thread(true);
        const int opened = ops.open(ops.context);
        console_mute_thread(false);
        {
            std::lock_guard lock(g_client.link_lock);
            g_client.attempting = false;
            if (opened == LINK_OK && still_running(mine)) {
                g_client.link_open = true;
                g_client.write_failed = false;
            } else if (opened == LINK_OK || opened == LINK_REFUSED_SETTINGS) {
                ops.close(ops.context); // the stop came during the attempt, or the port stayed open
            }
        }
        if (opened == LINK_OK) {
            if (void (*up)() = g_client.up; up && still_running(mine))
                up();
            return still_running(mine);
        }
        next_attempt = std::chrono::steady_clock::now() + RETRY_EVERY;
    }
}

// The link failed while open: it is closed, the command in flight is answered, the console gets
// the outage's one line and the host its notification.
void went_down(uint32_t mine)
{
    {
        std::unique_lock lock(g_client.link_lock);
        if (g_client.link_open)
            close_locked(lock);
    }
    answer_lost(mine);
    console_write(ConsoleStream::Err, "ORMA_Client: link lost, trying again every 300 ms\n");
    tell_host(mine, MSG_LINK_DOWN);
}

void ClientReceiveThread(void* arg)
{
    const auto mine = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
    console_write(ConsoleStream::Progress, "ClientReceiveThread started\n");
    const std::unique_ptr<RxBuffer> owned(new (std::nothrow) RxBuffer);
    RxBuffer& buf = *owned;
    if (owned)
        rxbuf_reset(&buf);
    bool up = false;
    bool reconnect = false;
    LinkOps ops{};
    {
        std::lock_guard lock(g_client.link_lock);
        up = g_client.link_open;
        reconnect = g_client.reconnect;
        ops = g_client.ops;
    }
    if (!up) // the start's open failed
        tell_host(mine, MSG_LINK_DOWN);
    // After a quiet spell the scan has looked past everything held; until more bytes come there
    // is nothing new to look at, so the next read waits without a limit.
    bool looked_past = false;
    // From a quiet spell until the next frame, the scan looks past an unfinished frame as soon
    // as bytes come: a frame behind a false start is then as prompt as one behind plain noise.
    bool after_quiet = false;
    while (owned) {
        if (!up) {
            if (!come_back(mine))
                break;
            up = true;
            rxbuf_reset(&buf); // what was held came from the link that failed
            looked_past = after_quiet = false;
            tell_host(mine, MSG_LINK_UP);
        }
        int space = 0;
        uint8_t* at = rxbuf_prepare_read(&buf, &space, capture_skipped); // a full buffer drops its noise
        // While bytes are held that make no frame yet, a read waits only as long as the line
        // keeps talking; then the scan may look past an unfinished frame.
        const bool holding = buf.fill - buf.read_index > 0 && !looked_past;
        const int count = holding && ops.read_timeout ? ops.read_timeout(ops.context, at, space, QUIET_MS)
                                                       : ops.read(ops.context, at, space);
        if (count < 0) {
            if (!still_running(mine))
                break;
            if (!reconnect) {
                close_link(false);
                break;
            }
            went_down(mine);
            up = false;
            continue;
        }
        const bool quiet = count == 0;
        if (!quiet)
            rxbuf_commit(&buf, count);
        looked_past = quiet;
        after_quiet = after_quiet || quiet;
        // Every message is handed over only while this start's thread is meant to run: a thread
        // that a stop had to give up (its callback held it too long) drops what it still holds.
        const uint8_t* frame = nullptr;
        int length = 0;
        int skipped = 0;
        while (still_running(mine) && (length = frame_extract(&buf, &frame, after_quiet, &skipped)) > 0) {
            after_quiet = false;
            capture_skipped(frame - skipped, skipped);
            link_dispatch(frame, length);
        }
        if (!still_running(mine))
            break;
    }
}

enum class Stopped { NoThread, Left, GivenUp, Own };

// Asks the receive thread to end, wakes it from a read, a wait or an attempt to open, and waits
// at most `limit_ms` until it has left; the thread is given up either way.
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
    capture_message(orma_capture::TO_HOST, orma_capture::FROM_LINK, message, size, frame[0]);
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

void ORMA_Cli_SetLinkUp(void (*up)())
{
    g_client.up = up;
}

int ORMA_Cli_Start()
{
    if (g_client.thread || g_client.semaphore)
        ORMA_Cli_Stop(); // started before and not stopped: never leave a thread or a link behind
    g_client.running = 0;
    console_fetch_handles();
    console_write(ConsoleStream::Progress, "ORMA_Cli_Start()\n");

    g_client.semaphore = sem_os_create();
    if (!g_client.semaphore) {
        console_write(ConsoleStream::Err, "CreateSemaphore failed!\n");
        return -1;
    }

    const LinkConfig& config = g_client.config;
    const bool reconnect = options_current().reconnect;
    LinkOps ops{};
    if (config.type == LINK_TCP)
        tcp_install(&ops, config.tcp.address, config.tcp.port, TCP_ROLE_CLIENT);
    else if (config.type == LINK_COM)
        com_install_settings(&ops, config.com);
    else if (config.type == LINK_CUSTOM)
        ops = config.custom;
    else
        tcp_install(&ops, nullptr, TCP_DEFAULT_PORT, TCP_ROLE_CLIENT);

    // The open runs under the lock, so that a send from another thread sees the old table or the
    // new, open link, never one in between.
    bool opened = false;
    {
        std::lock_guard lock(g_client.link_lock);
        g_client.ops = ops;
        g_client.reconnect = reconnect;
        g_client.write_failed = false;
        opened = ops.open(ops.context) >= 0;
        g_client.link_open = opened;
    }
    if (!opened) {
        console_write(ConsoleStream::Err, "Open() failed\n!");
        if (!reconnect)
            return -1;
    } else if (void (*up)() = g_client.up) {
        up();
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
    // A link that could not be opened is being opened again by the receive thread.
    return opened ? 0 : -1;
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
    std::unique_lock lock(g_client.link_lock);
    if (g_client.link_open)
        close_locked(lock);
    sem_os_close(g_client.semaphore);
    g_client.semaphore = nullptr;
}

int ORMA_Cli_Send(uint8_t start, const uint8_t* message, int length, std::chrono::steady_clock::time_point by)
{
    LinkOps ops{};
    {
        std::lock_guard lock(g_client.link_lock);
        // Down and coming back: nothing is written. The one-shot link after its failure writes
        // through its closed transport, which reports the failed write itself.
        if (!g_client.link_open && g_client.reconnect && g_client.running)
            return -1;
        ops = g_client.ops;
        ++g_client.writers;
    }
    int result = -1;
    std::unique_lock frames(g_client.write_lock, std::defer_lock);
    if (frames.try_lock_until(by)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(by - std::chrono::steady_clock::now());
        const int limit_ms = static_cast<int>(std::max<long long>(1, left.count()));
        result = frame_send(&ops, start, message, length, limit_ms);
        // A link that did not take a whole frame within (nearly) the whole bound has failed:
        // woken before the next write may begin, so that the writes behind this one end at
        // once, and the receive thread gives it up. A write left only a part of the bound by
        // the writes before it is just not taken.
        if (result != 0 && limit_ms >= WRITE_BOUND_MS * 9 / 10) {
            std::lock_guard lock(g_client.link_lock);
            if (g_client.link_open && !g_client.write_failed) {
                g_client.write_failed = true;
                if (g_client.ops.wake)
                    g_client.ops.wake(g_client.ops.context);
            }
        }
    }
    if (frames.owns_lock())
        frames.unlock();
    std::lock_guard lock(g_client.link_lock);
    if (--g_client.writers == 0)
        g_client.changed.notify_all();
    return result;
}
