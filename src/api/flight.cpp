#include "api/flight.h"

#include "api/receive_callbacks.h"
#include "logging/log.h"
#include "support/console.h"
#include "support/options.h"
#include "support/thread.h"
#include "usb/usb_glue.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

enum class Stage {
    Idle,    // nothing in flight: the com state is open
    Sending, // the record is being handed to the link
    Waiting, // handed over: awaits its response until the deadline
};

struct Flight {
    std::mutex lock;
    std::condition_variable wake;
    Stage stage = Stage::Idle;
    uint32_t number = 0;  // of the latest flight
    bool lost = false;    // the link failed while the record was being sent
    bool forever = true;  // the deadline never passes
    Clock::time_point deadline{};
    // A "no answer" kept ready for a host without a callback, so that its 0x85 can be stored
    // even when the heap table is full.
    SvcMsg* reserve = nullptr;

    bool session = false; // under protocol 2, from flight_start to flight_stop
    bool running = false;
    uint32_t generation = 0; // of the deadline thread meant to run
    LibThread* thread = nullptr;
    bool no_thread_said = false;
};

// Never destroyed: a deadline thread that a stop had to give up may still use it.
Flight& g_flight = *new Flight;

constexpr uint8_t NO_ANSWER[] = {MSG_NO_ANSWER};
// How long a failed link waits for a send under way to end (a link's send is bounded by 1 s).
constexpr auto LOST_SEND_LIMIT = std::chrono::milliseconds(2000);

bool mode_is_usb()
{
    return g_orma.mode == 3 || g_orma.mode == 4;
}

// The flight ends: the com state opens. Under the lock.
void land()
{
    g_flight.stage = Stage::Idle;
    g_flight.lost = false;
    g_orma.com_state = 1;
    g_flight.wake.notify_all(); // a lost link may be waiting for the send to end
}

// The command in flight gets 0x85, logged and stored or handed to the callback like any response.
// Under the lock; it is let go while the host's callback runs.
void answer_no_answer(std::unique_lock<std::mutex>& hold)
{
    // The USB channel answers the commands it dropped itself: this one counts as answered there.
    if (mode_is_usb())
        ORMA_Usb_AnsweredElsewhere();
    if (g_orma.host_callback) {
        land();
        hold.unlock();
        forward_made_up(NO_ANSWER, 1);
        hold.lock();
        return;
    }
    const SessionUse use;
    if (use) {
        Log_Message(NO_ANSWER, 1);
        if (SvcMsg* kept = std::exchange(g_flight.reserve, nullptr))
            svc_list_append(&use.seq()->rx_list, kept);
        else
            store_received(use.seq(), NO_ANSWER, 1);
    }
    land();
}

bool still_running(uint32_t mine)
{
    return g_flight.running && g_flight.generation == mine;
}

// Waits for the deadline of the command in flight, or for the next command, without polling.
void deadline_thread(void* arg)
{
    const auto mine = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
    std::unique_lock hold(g_flight.lock);
    while (still_running(mine)) {
        if (g_flight.stage != Stage::Waiting || g_flight.forever)
            g_flight.wake.wait(hold);
        else if (Clock::now() >= g_flight.deadline)
            answer_no_answer(hold);
        else
            g_flight.wake.wait_until(hold, g_flight.deadline);
    }
}

// The deadline thread starts with the first deadline of the session, so that a session that
// never has one runs no thread for it. Under the lock.
void need_deadline_thread()
{
    if (!g_flight.session || g_flight.thread)
        return;
    g_flight.running = true;
    const uint32_t mine = g_flight.generation;
    g_flight.thread = thread_start(deadline_thread, reinterpret_cast<void*>(static_cast<uintptr_t>(mine)));
    if (!g_flight.thread) {
        g_flight.running = false;
        if (!std::exchange(g_flight.no_thread_said, true))
            console_print(ConsoleStream::Err, "ORMA_DLL: no thread for the response deadline; commands wait for their responses\n");
    }
}

} // namespace

void flight_start()
{
    const std::lock_guard hold(g_flight.lock);
    g_flight.stage = Stage::Idle;
    g_flight.lost = false;
    g_flight.session = true;
    g_flight.no_thread_said = false;
    // A new number, so that a thread given up earlier never takes this session as its own.
    ++g_flight.generation;
}

void flight_stop(unsigned limit_ms)
{
    LibThread* thread = nullptr;
    {
        const std::lock_guard hold(g_flight.lock);
        g_flight.session = false;
        g_flight.running = false;
        thread = std::exchange(g_flight.thread, nullptr);
    }
    g_flight.wake.notify_all();
    if (thread) {
        // Stopped from the host's callback on that very thread: it ends when the callback returns.
        if (!thread_is_current(thread))
            thread_wait_left(thread, limit_ms);
        thread_forget(thread);
    }
    const std::lock_guard hold(g_flight.lock);
    g_flight.stage = Stage::Idle;
    g_flight.lost = false;
    svc_msg_free(std::exchange(g_flight.reserve, nullptr));
}

void flight_hand_over(SvcSeq* seq)
{
    const bool flow = g_orma.protocol == 2;
    uint32_t mine = 0;
    {
        const std::lock_guard hold(g_flight.lock);
        int32_t open = 1;
        if (!g_orma.com_state.compare_exchange_strong(open, 0))
            return;
        if (flow) {
            g_flight.stage = Stage::Sending;
            g_flight.lost = false;
            mine = ++g_flight.number;
            if (!g_orma.host_callback && !g_flight.reserve)
                g_flight.reserve = svc_msg_create(MSG_NO_ANSWER, nullptr, 0);
        }
    }
    const bool sent = svc_seq_send_next(seq) == 1;

    const std::lock_guard hold(g_flight.lock);
    if (!flow) {
        int32_t closed = 0;
        if (!sent)
            g_orma.com_state.compare_exchange_strong(closed, 1);
        return;
    }
    if (g_flight.stage != Stage::Sending || g_flight.number != mine)
        return; // answered while it was being sent
    if (!sent) {
        land(); // stays first in the send list; nothing awaits a response
        return;
    }
    g_flight.stage = Stage::Waiting;
    const uint32_t timeout_ms = options_current().response_timeout_ms;
    g_flight.forever = !g_flight.lost && timeout_ms == 0;
    g_flight.deadline = g_flight.lost ? Clock::now() : Clock::now() + std::chrono::milliseconds(timeout_ms);
    if (!g_flight.forever)
        need_deadline_thread();
    g_flight.wake.notify_all();
}

int32_t flight_store_response(SvcSeq* seq, const uint8_t* message, uint16_t length)
{
    const std::lock_guard hold(g_flight.lock);
    const bool stored = store_received(seq, message, length);
    if (!stored && g_flight.stage != Stage::Idle) {
        if (SvcMsg* kept = std::exchange(g_flight.reserve, nullptr))
            svc_list_append(&seq->rx_list, kept);
    }
    land();
    return stored ? 0 : 1;
}

void flight_response_forwarded()
{
    const std::lock_guard hold(g_flight.lock);
    land();
}

void flight_link_lost()
{
    std::unique_lock hold(g_flight.lock);
    if (g_orma.protocol != 2)
        return;
    // A command still being sent is answered once its send has ended, so that its 0x85 comes
    // before the host hears that the link is down. The send is bounded; should it take longer,
    // the command is answered as soon as it ends.
    const uint32_t number = g_flight.number;
    if (g_flight.stage == Stage::Sending &&
        !g_flight.wake.wait_for(hold, LOST_SEND_LIMIT,
                                [&] { return g_flight.stage != Stage::Sending || g_flight.number != number; })) {
        g_flight.lost = true;
        return;
    }
    if (g_flight.stage == Stage::Waiting && g_flight.number == number)
        answer_no_answer(hold);
}
