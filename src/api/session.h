// The session: the state of the host interface, the gate that every use of the sequencer passes,
// and the modes and protocols as the exports take them.
#pragma once

#include "ORMA_DLL.h"
#include "Services/svc_orma/svc_seq_orma.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

enum class Mode : int32_t {
    None = 0,
    Com = ORMA_DLL_MODE_COM,
    Tcp = ORMA_DLL_MODE_TCP,
    Usb = ORMA_DLL_MODE_USB,
    UsbToo = ORMA_DLL_MODE_USB + 1, // the same as Usb
};

enum class Protocol : int32_t {
    Plain = 1,
    Flow = ORMA_DLL_PROTOCOL_FLOW, // one command in flight
};

constexpr bool mode_is_link(Mode mode)
{
    return mode == Mode::Com || mode == Mode::Tcp;
}
constexpr bool mode_is_usb(Mode mode)
{
    return mode == Mode::Usb || mode == Mode::UsbToo;
}

// A session runs from ORMA_DLL_Init to ORMA_DLL_Exit. Every use of the sequencer, by the exports
// or by the receive callbacks on a link's thread, enters the session first; the stop closes it
// and waits until the uses that had begun have ended, and only then releases the sequencer. A
// link thread that outlived its stop therefore finds the session closed and reaches nothing of
// it, nor of the next one.
class SessionGate {
public:
    void open();
    // No use begins after the call; returns when every use that began has ended, or false after
    // `limit` (a thread that the host ended in the middle of a use never leaves it).
    bool close(std::chrono::milliseconds limit);
    bool enter();
    void leave();
    bool is_open() const { return open_; }

private:
    std::atomic<bool> open_{false};
    std::atomic<int> users_{0};
    std::mutex lock_;
    std::condition_variable idle_;
};

// The state of the host interface, one instance per process.
struct OrmaState {
    std::atomic<Mode> mode{Mode::None};
    std::atomic<Protocol> protocol{Protocol::Plain};
    std::atomic<ORMA_DLL_ReceiveCallback> host_callback{nullptr};
    std::atomic<int32_t> host_has_polled{0};
    std::atomic<SvcSeq*> seq{nullptr};
    // 1 while the link is up, 0 while it is down and tried again, -1 while no link runs.
    std::atomic<int32_t> link_state{-1};
    SessionGate session;

    bool flow() const { return protocol == Protocol::Flow; }
};

// Never destroyed: the unload at the end of the process may still use it.
extern OrmaState& g_orma;

// The waits of a start. A stop that comes meanwhile cuts them short; a wait for the link ends
// as soon as the link is up.
void start_waits_begin();        // a start: the link is not up yet
void start_waits_link_up();      // the link reports that it is up
void start_waits_stop_coming(int change); // +1 when a stop waits for the start, -1 after
// Waits up to `how_long`; with `until_up`, only while the link is not up.
void start_wait(std::chrono::milliseconds how_long, bool until_up);

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
