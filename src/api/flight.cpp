#include "api/flight.h"

#include "api/receive_list.h"
#include "api/session.h"
#include "api/voice.h"
#include "capture/capture.h"
#include "logging/log.h"
#include "support/console.h"
#include "support/message.h"
#include "support/options.h"
#include "support/thread.h"

#include <atomic>
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
    std::atomic<int32_t> com_state{1};
    Stage stage = Stage::Idle;
    uint32_t number = 0; // of the latest flight
    bool lost = false;   // the link went down while the record was being written
    bool forever = true; // the deadline never passes
    Clock::time_point deadline{};
    // A "no answer" kept ready for a host without a callback, so that its 0x85 can be stored
    // even when the heap table is full.
    SvcMsg* reserve = nullptr;

    bool session = false;
    bool running = false;
    bool asleep = false;   // the thread waits without a limit
    bool deliver = false;  // 0x85s queued on a host's thread wait for the thread
    bool lost_waits = false; // a lost link waits for the write under way
    uint32_t generation = 0; // of the thread meant to run
    LibThread* thread = nullptr;
    bool no_thread_said = false;
};

// Never destroyed: a thread that a stop had to give up may still use it.
Flight& g_flight = *new Flight;

std::atomic<void (*)()> g_reopened{nullptr};

void reopened()
{
    if (void (*fn)() = g_reopened.load())
        fn();
}

constexpr uint8_t NO_ANSWER[] = {MSG_NO_ANSWER};
// How long a lost link waits for a write under way to end: writes are bounded and end as soon as
// their link is woken.
constexpr auto LOST_SEND_LIMIT = std::chrono::milliseconds(2000);

// The flight ends: the com state opens. Under the lock. The thread is not woken: when it wakes at
// the deadline it finds nothing to answer.
void land()
{
    g_flight.stage = Stage::Idle;
    g_flight.lost = false;
    g_flight.com_state = 1;
}

bool still_running(uint32_t mine)
{
    return g_flight.running && g_flight.generation == mine;
}

void thread_body(void* arg);

// The thread starts when first needed, so that a session that never needs it runs none. Under
// the lock. False when there is no thread.
bool need_thread()
{
    if (g_flight.thread)
        return true;
    if (!g_flight.session)
        return false;
    g_flight.running = true;
    g_flight.asleep = false;
    const uint32_t mine = g_flight.generation;
    g_flight.thread = thread_start(thread_body, reinterpret_cast<void*>(static_cast<uintptr_t>(mine)));
    if (g_flight.thread)
        return true;
    g_flight.running = false;
    if (!std::exchange(g_flight.no_thread_said, true))
        console_print(ConsoleStream::Err, "ORMA_DLL: no thread for the response deadline; commands wait for their responses\n");
    return false;
}

// Hands the queued messages on now (on a library thread) or through the flight's thread (on a
// host's thread, which must never find itself inside its callback). Under the lock.
void speak(std::unique_lock<std::mutex>& hold, bool library_thread)
{
    if (library_thread) {
        hold.unlock();
        voice_deliver();
        hold.lock();
    } else if (need_thread()) {
        g_flight.deliver = true;
        g_flight.wake.notify_all();
    }
}

// A "no answer" for the host: queued for its callback, or stored. Under the lock.
void tell_no_answer(std::unique_lock<std::mutex>& hold, bool library_thread)
{
    if (g_orma.host_callback) {
        if (voice_push(NO_ANSWER, 1)) {
            capture_message(orma_capture::TO_HOST, orma_capture::MADE_UP, NO_ANSWER, 1);
            speak(hold, library_thread);
        }
        return;
    }
    if (!g_orma.flow())
        return; // a polling host under protocol 1 stores nothing
    const SessionUse use;
    if (!use)
        return;
    Log_Message(NO_ANSWER, 1);
    capture_message(orma_capture::TO_HOST, orma_capture::MADE_UP, NO_ANSWER, 1);
    if (SvcMsg* kept = std::exchange(g_flight.reserve, nullptr))
        receive_list_append(use.seq(), kept);
    else
        receive_list_store(use.seq(), NO_ANSWER, 1);
}

// The command in flight is answered 0x85 and the com state reopens. Under the lock.
void answer_in_flight(std::unique_lock<std::mutex>& hold, bool library_thread)
{
    land();
    tell_no_answer(hold, library_thread);
}

// Keeps the deadline of the command in flight and hands on what host threads queued; sleeps
// without a limit when there is neither.
void thread_body(void* arg)
{
    const auto mine = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
    std::unique_lock hold(g_flight.lock);
    while (still_running(mine)) {
        if (std::exchange(g_flight.deliver, false)) {
            hold.unlock();
            voice_deliver();
            hold.lock();
        } else if (g_flight.stage == Stage::Waiting && !g_flight.forever) {
            if (Clock::now() >= g_flight.deadline) {
                answer_in_flight(hold, true);
                hold.unlock();
                reopened();
                hold.lock();
            } else
                g_flight.wake.wait_until(hold, g_flight.deadline);
        } else {
            g_flight.asleep = true;
            g_flight.wake.wait(hold);
            g_flight.asleep = false;
        }
    }
}

// What became of the last record handed to the link. Under the exports' send lock.
enum class Written { Nothing, Yes, No };
Written g_written = Written::Nothing;

Written send_first(SvcSeq* seq)
{
    g_written = Written::Nothing;
    if (svc_seq_send_next(seq) != 1)
        return Written::Nothing; // nothing queued, or the send function kept the record
    return g_written == Written::No ? Written::No : Written::Yes;
}

bool link_mode()
{
    return mode_is_link(g_orma.mode);
}

// Whether a command the link did not take is answered: always in the USB modes; in modes 1 and 2
// only by a link that comes back (with Reconnect = OFF nothing is made up, as for the one-shot
// link the system describes).
bool refusal_answered()
{
    return !link_mode() || options_current().reconnect;
}

} // namespace

void flight_start()
{
    const std::lock_guard hold(g_flight.lock);
    g_flight.stage = Stage::Idle;
    g_flight.lost = false;
    g_flight.deliver = false;
    g_flight.com_state = 1;
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
    land();
    g_flight.deliver = false;
    svc_msg_free(std::exchange(g_flight.reserve, nullptr));
}

int32_t flight_com_state()
{
    return g_flight.com_state;
}

void flight_note_write(bool taken)
{
    g_written = taken ? Written::Yes : Written::No;
}

void flight_hand_over(SvcSeq* seq)
{
    const bool flow = g_orma.flow();
    uint32_t mine = 0;
    {
        const std::lock_guard hold(g_flight.lock);
        int32_t open = 1;
        if (!g_flight.com_state.compare_exchange_strong(open, 0))
            return;
        if (flow) {
            g_flight.stage = Stage::Sending;
            g_flight.lost = false;
            mine = ++g_flight.number;
            if (!g_orma.host_callback && !g_flight.reserve)
                g_flight.reserve = svc_msg_create(MSG_NO_ANSWER, nullptr, 0);
        }
    }
    const Written written = send_first(seq);
    if (!flow) {
        // Under other protocols a record handed over by Loop closes the com state, as the system
        // describes; no response reopens it there.
        if (written == Written::Nothing)
            g_flight.com_state = 1;
        return;
    }

    std::unique_lock hold(g_flight.lock);
    if (g_flight.stage != Stage::Sending || g_flight.number != mine)
        return; // answered while it was being written
    if (g_flight.lost_waits)
        g_flight.wake.notify_all(); // the write has ended
    if (written == Written::Nothing) {
        land(); // nothing was queued
        return;
    }
    if (written == Written::No && refusal_answered()) {
        answer_in_flight(hold, false);
        return;
    }
    g_flight.stage = Stage::Waiting;
    const uint32_t timeout_ms = options_current().response_timeout_ms;
    g_flight.forever = !g_flight.lost && timeout_ms == 0;
    g_flight.deadline = g_flight.lost ? Clock::now() : Clock::now() + std::chrono::milliseconds(timeout_ms);
    if (g_flight.forever)
        return;
    // Only a thread that sleeps without a limit is woken: one that waits for an earlier deadline
    // finds this one when it wakes.
    if (need_thread() && (g_flight.asleep || g_flight.lost))
        g_flight.wake.notify_all();
}

void flight_send_now(SvcSeq* seq, SvcMsg* record)
{
    g_written = Written::Nothing;
    svc_seq_send(seq, record);
    if (g_written == Written::No)
        flight_not_taken();
}

void flight_not_taken()
{
    if (!g_orma.host_callback || !refusal_answered())
        return;
    std::unique_lock hold(g_flight.lock);
    tell_no_answer(hold, false);
}

void flight_forward(const uint8_t* message, int32_t length)
{
    if (length < 1)
        return;
    voice_wait_for_room();
    bool landed = false;
    {
        // The callback runs outside the session, so that a stop never waits for it there.
        const SessionUse use;
        if (!use)
            return;
        std::unique_lock hold(g_flight.lock);
        // The response reopens the com state before the callback sees it, so that the callback may
        // send the next command at once.
        if (g_orma.flow() && msg_is_response(message[0]) && g_flight.stage != Stage::Idle) {
            land();
            landed = true;
        }
        if (!voice_push(message, length))
            return;
    }
    voice_deliver();
    if (landed)
        reopened();
}

int32_t flight_store_response(SvcSeq* seq, const uint8_t* message, uint16_t length)
{
    bool stored = false;
    {
        const std::lock_guard hold(g_flight.lock);
        Log_Message(message, length);
        stored = receive_list_store(seq, message, length, Wake::Later);
        if (!stored && g_flight.stage != Stage::Idle) {
            if (SvcMsg* kept = std::exchange(g_flight.reserve, nullptr))
                receive_list_append(seq, kept, Wake::Later);
        }
        land();
    }
    // A waiting host wakes once the flight's lock is free: the next command it sends at once
    // takes that lock.
    receive_list_wake();
    reopened();
    return stored ? 0 : 1;
}

void flight_link_lost()
{
    std::unique_lock hold(g_flight.lock);
    if (!g_orma.flow())
        return;
    // A command still being written is answered once its write has ended, so that its 0x85 comes
    // before the host hears that the link is down. Should the write take longer, the command is
    // answered as soon as it ends.
    const uint32_t number = g_flight.number;
    if (g_flight.stage == Stage::Sending) {
        g_flight.lost_waits = true;
        const bool ended = g_flight.wake.wait_for(
            hold, LOST_SEND_LIMIT, [&] { return g_flight.stage != Stage::Sending || g_flight.number != number; });
        g_flight.lost_waits = false;
        if (!ended) {
            g_flight.lost = true;
            return;
        }
    }
    if (g_flight.stage == Stage::Waiting && g_flight.number == number) {
        answer_in_flight(hold, true);
        hold.unlock();
        reopened();
    }
}

void flight_set_reopened(void (*fn)())
{
    g_reopened = fn;
}
