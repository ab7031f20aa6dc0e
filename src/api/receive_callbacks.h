// The receive callbacks that the links call for every message that arrives, and the state of
// the host interface that they share with the exports.
#pragma once

#include "ORMA_DLL.h"
#include "Services/svc_orma/svc_seq_orma.h"
#include "support/message.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// Log, store at the end of the receive list, end the flight and open the com state again.
int32_t OnResponse(const uint8_t* message, int32_t length);
// Log, store; until the host has polled once, drop the oldest stored notification.
int32_t OnNotification(const uint8_t* message, int32_t length);
// Log and hand to the host's callback; under protocol 2 responses also end the flight.
int32_t ForwardToHost(const uint8_t* message, int32_t length);
// The link failed: the command in flight, if there is one, gets the "no answer" response 0x85,
// logged and stored or handed to the callback like any response; never twice.
void OnLinkLost();

// Stores a copy of the message at the end of the receive list. When the heap table has no room
// for a response, stored notifications give way, oldest first; a notification finds no room.
// False when nothing was stored.
bool store_received(SvcSeq* seq, const uint8_t* message, uint16_t length);
// Logs a message the library made up and hands it to the host's callback, the flight untouched.
int32_t forward_made_up(const uint8_t* message, int32_t length);

// A session runs from ORMA_DLL_Init to ORMA_DLL_Exit. Every use of the sequencer, by the exports
// or by the receive callbacks on a link's thread, enters the session first; the stop closes it
// and waits until the uses that had begun have ended, and only then releases the sequencer. A
// link thread that outlived its stop therefore finds the session closed and reaches nothing of
// it, nor of the next one.
class SessionGate {
public:
    void open();
    // No use begins after the call; returns when every use that began has ended.
    void close();
    bool enter();
    void leave();

private:
    std::atomic<bool> open_{false};
    std::atomic<int> users_{0};
    std::mutex lock_;
    std::condition_variable idle_;
};

// The state of the host interface, one instance per process.
struct OrmaState {
    std::atomic<int32_t> mode{0};
    std::atomic<int32_t> protocol{0};
    std::atomic<ORMA_DLL_ReceiveCallback> host_callback{nullptr};
    std::atomic<int32_t> com_state{1};
    std::atomic<int32_t> host_has_polled{0};
    std::atomic<SvcSeq*> seq{nullptr};
    // Notifications in the receive list, so that a response at a full table looks for one to
    // give way only when there is one.
    std::atomic<int32_t> notifications_held{0};
    SessionGate session;
};

// Never destroyed: the unload at the end of the process may still use it.
extern OrmaState& g_orma;

// One use of the open session: the sequencer while it lasts, or nothing when no session is open.
class SessionUse {
public:
    SessionUse() : entered_(g_orma.session.enter()), seq_(entered_ ? g_orma.seq.load() : nullptr) {}
    ~SessionUse()
    {
        if (entered_)
            g_orma.session.leave();
    }
    SessionUse(const SessionUse&) = delete;
    SessionUse& operator=(const SessionUse&) = delete;
    explicit operator bool() const { return seq_ != nullptr; }
    SvcSeq* seq() const { return seq_; }

private:
    bool entered_;
    SvcSeq* seq_;
};
