#include "api/receive_callbacks.h"

#include "api/flight.h"
#include "logging/log.h"

OrmaState& g_orma = *new OrmaState;

void SessionGate::open()
{
    open_ = true;
}

void SessionGate::close()
{
    open_ = false;
    std::unique_lock lock(lock_);
    idle_.wait(lock, [this] { return users_ == 0; });
}

// The count is raised before the flag is read, and the flag cleared before the count is read, so
// that a use and a close never miss each other.
bool SessionGate::enter()
{
    users_.fetch_add(1);
    if (open_)
        return true;
    leave();
    return false;
}

void SessionGate::leave()
{
    if (users_.fetch_sub(1) == 1) {
        std::lock_guard lock(lock_);
        idle_.notify_all();
    }
}

namespace {
uint16_t log_length(int32_t length)
{
    return static_cast<uint16_t>(length);
}

bool is_notification(const SvcMsg* record)
{
    return msg_is_notification(record->code);
}

bool drop_oldest_notification(SvcSeq* seq)
{
    if (g_orma.notifications_held <= 0 || !svc_list_drop_first(&seq->rx_list, is_notification))
        return false;
    --g_orma.notifications_held;
    return true;
}

// Logs and hands the message to the host's callback. The callback runs outside the session: it
// may take as long as it likes, and send. `response_lands`: a response ends the flight first.
int32_t forward(const uint8_t* message, int32_t length, bool response_lands)
{
    ORMA_DLL_ReceiveCallback callback = nullptr;
    {
        const SessionUse use;
        if (!use)
            return 0;
        Log_Message(message, log_length(length));
        if (response_lands && g_orma.protocol == 2 && length > 0 && msg_is_response(message[0]))
            flight_response_forwarded();
        callback = g_orma.host_callback;
    }
    return callback ? callback(message, length) : 0;
}

} // namespace

bool store_received(SvcSeq* seq, const uint8_t* message, uint16_t length)
{
    if (length == 0)
        return false;
    const bool notification = msg_is_notification(message[0]);
    for (;;) {
        if (SvcMsg* record = svc_msg_create(message[0], message + 1, static_cast<uint16_t>(length - 1))) {
            if (notification)
                ++g_orma.notifications_held; // counted before it is seen: a scan may find none
            svc_list_append(&seq->rx_list, record);
            return true;
        }
        // A response is never given up for a notification.
        if (notification || !drop_oldest_notification(seq))
            return false;
    }
}

int32_t OnResponse(const uint8_t* message, int32_t length)
{
    const SessionUse use;
    if (!use)
        return 1;
    Log_Message(message, log_length(length));
    return flight_store_response(use.seq(), message, static_cast<uint16_t>(length));
}

// Until the host has polled once, notifications do not pile up: each one that arrives makes the
// oldest stored notification (perhaps itself) go. Responses stay.
int32_t OnNotification(const uint8_t* message, int32_t length)
{
    const SessionUse use;
    if (!use)
        return 1;
    Log_Message(message, log_length(length));
    const bool stored = store_received(use.seq(), message, static_cast<uint16_t>(length));
    if (g_orma.host_has_polled == 0)
        drop_oldest_notification(use.seq());
    return stored ? 0 : 1;
}

int32_t ForwardToHost(const uint8_t* message, int32_t length)
{
    // A host with a callback takes its responses there, so the response itself reopens the com
    // state; otherwise protocol 2 would keep every later command in the send list.
    return forward(message, length, true);
}

int32_t forward_made_up(const uint8_t* message, int32_t length)
{
    return forward(message, length, false);
}

void OnLinkLost()
{
    flight_link_lost();
}
