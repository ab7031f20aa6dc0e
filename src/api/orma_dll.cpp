// The exports: operating modes, protocols and the com state flow control, and what a host learns
// and waits for besides (the link's state, a receive that waits, the version, the log callback).
#include "ORMA_DLL.h"

#include "Services/svc_orma/svc_seq_orma.h"
#include "api/flight.h"
#include "api/receive_callbacks.h"
#include "api/receive_list.h"
#include "api/session.h"
#include "api/unload.h"
#include "api/voice.h"
#include "capture/capture.h"
#include "config/config_table.h"
#include "link/frame.h"
#include "link/link_client.h"
#include "logging/log.h"
#include "support/console.h"
#include "support/fault.h"
#include "support/heap.h"
#include "support/sem.h"
#include "support/timed_lock.h"
#include "usb/usb_glue.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <mutex>

namespace {

using namespace std::chrono_literals;

// The start's waits: the link start lets the line settle, then modes 2 to 4 wait for the link.
constexpr auto LINK_START_WAIT = 1000ms;
constexpr auto START_WAIT = 2000ms;
// How long a stop waits for a library thread, which may be in the host's callback.
constexpr unsigned STOP_LIMIT_MS = 10000;
constexpr unsigned UNLOAD_LIMIT_MS = 2000;

// Starting and stopping are serialized against each other; the session gate serializes them
// against the other exports. Timed, so that an unload never waits for ever on a start that hangs.
std::timed_mutex& g_life_lock = *new std::timed_mutex;
std::atomic<bool> g_started{false};
// Sending is serialized: the sequencer's hand-over and the com state. The exports may be called
// from any thread, the receive callback included. Each call has one bound for the wait for this
// lock and for its write together, so that no sender waits for the writes of others on top of
// its own; a write that takes nothing for the whole bound fails its link. Never destroyed, as the
// other shared state: at the process's exit a sender ended by the system may have been inside it.
TimedLock& g_send_lock = *new TimedLock;
constexpr auto SEND_BOUND = 1000ms;
// When the write under the send lock must have ended.
std::chrono::steady_clock::time_point g_send_by;
// Takes the send lock within `by`, and notes when the write under it must have ended; false when
// the writes of others took the whole bound.
bool take_send_lock(std::unique_lock<TimedLock>& hold, std::chrono::steady_clock::time_point by)
{
    if (!hold.try_lock_until(by))
        return false;
    g_send_by = by;
    return true;
}
// [ORMA_LINK] SendQueued of the running session.
std::atomic<bool> g_send_queued{true};

void send_queued();

// Takes the life lock for a stop, cutting short the waits of a start that holds it.
class StopTurn {
public:
    StopTurn()
    {
        start_waits_stop_coming(+1);
        g_life_lock.lock();
        start_waits_stop_coming(-1);
    }
    ~StopTurn() { g_life_lock.unlock(); }
    StopTurn(const StopTurn&) = delete;
    StopTurn& operator=(const StopTurn&) = delete;
};

uint8_t start_byte(Protocol protocol)
{
    switch (protocol) {
    case Protocol::Flow:
        return FRAME_START_FLOW;
    case Protocol::Plain:
        return FRAME_START_PLAIN;
    default:
        return FRAME_START_OTHER;
    }
}

// The send function of every mode: log, write, always done with the record. Whether the link
// took it is kept for the answer rule. Under the send lock.
int32_t SendRecord(uint32_t, SvcMsg* record)
{
    Log_Message(record->data, record->length);
    // Captured before it is written, so that the capture never shows an answer before its
    // command; a write that fails is captured again, marked as not sent.
    const uint8_t start = mode_is_link(g_orma.mode) ? start_byte(g_orma.protocol) : 0;
    capture_message(orma_capture::TO_MODULE, orma_capture::FROM_LINK, record->data, record->length, start);
    bool written = false;
    if (mode_is_link(g_orma.mode))
        written = ORMA_Cli_Send(start, record->data, record->length, g_send_by) == 0;
    else if (mode_is_usb(g_orma.mode))
        written = ORMA_Usb_Send(record->data, record->length);
    if (!written)
        capture_not_sent(record->data, record->length, start);
    flight_note_write(written);
    return 1;
}

// Before the session opens, so that no send ever sees the sequencer's send function change.
void install_send_function(SvcSeq* seq, Mode mode)
{
    if (mode_is_link(mode) || (mode_is_usb(mode) && ORMA_Usb_Available()))
        svc_seq_set_send_function(seq, SendRecord, 0);
}

// The link of mode 1 or 2 as the settings give it: the port by number or name, the module's
// address and port.
LinkConfig link_config(Mode mode, const OrmaOptions& options)
{
    LinkConfig config{};
    if (mode == Mode::Com) {
        config.type = LINK_COM;
        config.com = ComSettings{1, 115200, 2, 8, 2, {}};
        const std::string& port = options.com_port;
        const bool number = port.find_first_not_of("0123456789") == std::string::npos && port.size() <= 3 &&
                            std::stoi(port) >= 1 && std::stoi(port) <= 255;
        if (number)
            config.com.port = static_cast<uint8_t>(std::stoi(port));
        else
            std::snprintf(config.com.device, sizeof config.com.device, "%s", port.c_str());
    } else {
        config.type = LINK_TCP;
        config.tcp.port = options.port;
        std::snprintf(config.tcp.address, sizeof config.tcp.address, "%s", options.host.c_str());
    }
    return config;
}

void start_link(SvcSeq* seq, Mode mode, Protocol protocol, bool host_callback)
{
    ReceiveCallback first = nullptr;
    ReceiveCallback second = nullptr;
    if (host_callback) {
        first = second = ForwardToHost;
    } else if (protocol == Protocol::Flow) {
        first = OnResponse;
        second = OnNotification;
    }

    // With StartWait = READY the waits end as soon as the link is up; FIXED waits them out.
    const OrmaOptions options = options_current();
    const bool until_up = options.start_wait_ready;
    start_waits_begin();
    if (mode_is_link(mode)) {
        const LinkConfig config = link_config(mode, options);
        ORMA_Cli_Configure(&config);
        ORMA_Cli_SetCallbacks(first, second);
        ORMA_Cli_SetLinkLost(OnLinkLost);
        ORMA_Cli_SetLinkUp(OnLinkUp);
        g_orma.link_state = 0;
        if (ORMA_Cli_Start() == 0 || options.reconnect)
            start_wait(LINK_START_WAIT, until_up);
        else
            g_orma.link_state = -1; // the one-shot link could not be opened
        if (mode == Mode::Tcp)
            start_wait(START_WAIT, until_up);
    } else if (mode_is_usb(mode) && seq->send_fn == SendRecord) {
        // Protocol 1 without a callback hears nothing: no USB link is started for it.
        if (first) {
            g_orma.link_state = 0;
            ORMA_Usb_Init(first, second, OnLinkLost, OnLinkUp);
        }
        if (first || !until_up)
            start_wait(START_WAIT, until_up);
    }
}

// No C++ exception leaves an export: a failure inside becomes the result `failed`.
template <typename Fn>
int32_t guarded(int32_t failed, Fn&& fn) noexcept
{
    try {
        return fn();
    } catch (...) {
        return failed;
    }
}

// Stops the link, the deadline and the session, and closes the log files and locks. Under the
// life lock.
void stop_library(void (*stop_link)(Mode mode), unsigned limit_ms)
{
    if (!g_started)
        return;
    const Mode mode = g_orma.mode;
    voice_close(); // from here nothing reaches the host's callback but a call under way
    stop_link(mode);
    capture_stop();
    // From here no callback and no export uses the sequencer. A use that never ends (its thread
    // ended by the host in the middle of a call) keeps the sequencer from being released.
    g_orma.link_state = -1;
    const bool idle = g_orma.session.close(std::chrono::milliseconds(limit_ms));
    receive_list_wake(); // a host waiting for a message finds the session closed
    flight_stop(limit_ms);
    g_orma.host_callback = nullptr;
    SvcSeq* seq = g_orma.seq.exchange(nullptr);
    if (idle)
        svc_seq_destroy(seq);
    Log_Exit();
    Sem_CloseAll();
    g_started = false;
}

void stop_current_link(Mode mode)
{
    if (mode_is_link(mode))
        ORMA_Cli_Stop();
    else if (mode_is_usb(mode))
        ORMA_Usb_Exit();
}

int32_t init(int32_t mode_number, int32_t protocol_number, ORMA_DLL_ReceiveCallback callback)
{
    const std::lock_guard life(g_life_lock);
    stop_library(stop_current_link, STOP_LIMIT_MS);
    const auto mode = static_cast<Mode>(mode_number);
    const auto protocol = static_cast<Protocol>(protocol_number);

    Sem_CreateAll();
    Log_Init(orma_config::FILE_NAME);
    const OrmaOptions options = options_current();
    capture_start(options.capture_file, options.capture_max_bytes, static_cast<uint8_t>(mode_number));
    Heap_Init();
    g_orma.host_callback = callback;
    SvcSeq* seq = svc_seq_create();
    if (seq)
        install_send_function(seq, mode);
    g_orma.seq = seq;
    g_orma.mode = mode;
    g_orma.protocol = protocol;
    g_orma.host_has_polled = 0;
    g_orma.link_state = -1;
    g_send_queued = options.send_queued;
    receive_list_reset();
    g_started = true;
    // Without a sequencer nothing can be queued or stored: the library stays closed and every
    // later call returns 1.
    if (!seq)
        return 0;
    flight_start();
    if (callback)
        voice_open();
    flight_set_reopened(send_queued);
    g_orma.session.open();
    start_link(seq, mode, protocol, callback != nullptr);
    return 0;
}

int32_t exit_library()
{
    const StopTurn life;
    stop_library(stop_current_link, STOP_LIMIT_MS);
    return 0;
}

int32_t send_message(const uint8_t* message, uint8_t length)
{
    const SessionUse use;
    if (!message || length == 0 || !use || ORMA_Usb_Refuses(mode_is_usb(g_orma.mode), length))
        return 1;
    SvcSeq* seq = use.seq();
    const auto by = std::chrono::steady_clock::now() + SEND_BOUND;
    // A record that cannot be allocated (the heap table is full) is neither queued nor sent.
    SvcMsg* record = svc_msg_create(message[0], message + 1, static_cast<uint16_t>(length - 1));
    if (!record)
        return 1;
    std::unique_lock hold(g_send_lock, std::defer_lock);
    if (g_orma.flow()) {
        // Queued at once; it goes out now unless the writes of others take the whole bound (then
        // the next hand-over sends it).
        svc_list_append(&seq->tx_list, record);
        if (take_send_lock(hold, by))
            flight_hand_over(seq);
    } else if (take_send_lock(hold, by)) {
        flight_send_now(seq, record);
    } else {
        svc_msg_free(record); // the writes of others took the whole bound: not taken
        flight_not_taken();
    }
    return 0;
}

int32_t receive_message(uint8_t* buffer, uint8_t* length)
{
    // A host that polls in a tight loop writes nothing that the link's thread reads, and an empty
    // list costs it one counter.
    if (g_orma.host_has_polled.load(std::memory_order_relaxed) == 0)
        g_orma.host_has_polled = 1;
    if (length)
        *length = 0;
    if (receive_list_empty())
        return 1;
    const SessionUse use;
    if (!buffer || !length || !use)
        return 1;
    return receive_list_take(use.seq(), buffer, length) ? 0 : 1;
}

// The com state reopened on a library thread: with SendQueued the queued commands go out now,
// one after the other as long as each is answered at once (one the link does not take), until
// one is in flight.
void send_queued()
{
    if (!g_send_queued || !g_orma.flow())
        return;
    const SessionUse use;
    if (!use)
        return;
    while (flight_com_state() == 1 && svc_seq_has_queued(use.seq())) {
        std::unique_lock hold(g_send_lock, std::defer_lock);
        if (!take_send_lock(hold, std::chrono::steady_clock::now() + SEND_BOUND))
            return; // the writes of others took the whole bound: the next hand-over sends it
        flight_hand_over(use.seq());
    }
}

// Waits without polling: each look at the list is followed by a wait for the next change, which
// every store and the stop make.
int32_t receive_message_wait(uint8_t* buffer, uint8_t* length, uint32_t timeout_ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const uint32_t seen = receive_list_changes();
        if (receive_message(buffer, length) == 0)
            return 0;
        if (!buffer || !length || !g_orma.session.is_open())
            return 1;
        if (!receive_list_wait(seen, until))
            return 1;
    }
}

int32_t loop()
{
    if (!g_started)
        return 1;
    // While a command is in flight nothing can go out: a host calling Loop in a tight loop then
    // reads two flags and writes nothing.
    if (g_orma.flow() && flight_com_state() != 1)
        return 0;
    const SessionUse use;
    if (!use)
        return 1;
    if (!svc_seq_has_queued(use.seq()))
        return 0;
    const std::lock_guard hold(g_send_lock);
    g_send_by = std::chrono::steady_clock::now() + SEND_BOUND;
    flight_hand_over(use.seq());
    return 0;
}

} // namespace

void orma_unload() noexcept
{
    try {
        // The USB threads serve on after ORMA_DLL_Exit; the link's end with it.
        ORMA_Usb_Unload();
        // A start or stop under way on another thread is waited for, but not for ever.
        std::unique_lock life(g_life_lock, std::defer_lock);
        (void)life.try_lock_for(std::chrono::milliseconds(UNLOAD_LIMIT_MS));
        stop_library([](Mode) { ORMA_Cli_Unload(); }, UNLOAD_LIMIT_MS);
        ORMA_Usb_Release();
    } catch (...) { // nothing may leave the unload
    }
    fault_shutdown();
}

extern "C" {

int32_t ORMA_DLL_CALL ORMA_DLL_Init(int32_t mode, int32_t protocol, uint32_t, ORMA_DLL_ReceiveCallback callback)
{
    return guarded(0, [&] { return init(mode, protocol, callback); });
}

int32_t ORMA_DLL_CALL ORMA_DLL_Exit(void)
{
    return guarded(0, [] { return exit_library(); });
}

int32_t ORMA_DLL_CALL ORMA_DLL_Send_Message(const uint8_t* message, uint8_t length)
{
    return guarded(1, [&] { return send_message(message, length); });
}

int32_t ORMA_DLL_CALL ORMA_DLL_Receive_Message(uint8_t* buffer, uint8_t* length)
{
    return guarded(1, [&] { return receive_message(buffer, length); });
}

int32_t ORMA_DLL_CALL ORMA_DLL_Loop(void)
{
    return guarded(1, [] { return loop(); });
}

int32_t ORMA_DLL_CALL ORMA_DLL_getComState(void)
{
    return flight_com_state();
}

int32_t ORMA_DLL_CALL ORMA_DLL_getLinkState(void)
{
    return g_started ? g_orma.link_state.load() : -1;
}

int32_t ORMA_DLL_CALL ORMA_DLL_Receive_Message_Wait(uint8_t* buffer, uint8_t* length, uint32_t timeout_ms)
{
    return guarded(1, [&] { return receive_message_wait(buffer, length, timeout_ms); });
}

const char* ORMA_DLL_CALL ORMA_DLL_getVersion(void)
{
    return ORMA_DLL_VERSION_STRING;
}

void ORMA_DLL_CALL ORMA_DLL_Set_Log_Callback(ORMA_DLL_LogCallback callback)
{
    console_set_log_callback(callback);
}

} // extern "C"
