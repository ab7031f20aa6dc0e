#include "api/receive_callbacks.h"

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


// Logs the message and stores it at the end of the receive list: 0 when stored, else 1. A
// response opens the com state again; a notification, until the host has polled once, drops the
// oldest stored message.
int32_t log_and_store(const uint8_t* message, int32_t length, bool response)
{
    const SessionUse use;
    if (!use)
        return 1;
    Log_Message(message, log_length(length));
    const int stored = svc_seq_store_received(use.seq(), message, static_cast<uint16_t>(length));
    if (response)
        g_orma.com_state = 1;
    else if (g_orma.host_has_polled == 0)
        svc_list_pop(&use.seq()->rx_list);
    return stored ? 0 : 1;
}

} // namespace

int32_t OnResponse(const uint8_t* message, int32_t length)
{
    return log_and_store(message, length, true);
}

int32_t OnNotification(const uint8_t* message, int32_t length)
{
    return log_and_store(message, length, false);
}

int32_t ForwardToHost(const uint8_t* message, int32_t length)
{
    ORMA_DLL_ReceiveCallback callback = nullptr;
    {
        const SessionUse use;
        if (!use)
            return 0;
        Log_Message(message, log_length(length));
        // A host with a callback takes its responses there, so the response itself reopens the
        // com state; otherwise protocol 2 would keep every later command in the send list. It is
        // opened before the call so that the callback may send the next command at once.
        if (g_orma.protocol == 2 && length > 0 && msg_is_response(message[0]))
            g_orma.com_state = 1;
        callback = g_orma.host_callback;
    }
    // The host's callback runs outside the session: it may take as long as it likes, and send.
    return callback ? callback(message, length) : 0;
}

void OnLinkLost()
{
    // Only under protocol 2 is a command known to be waiting: the com state is closed.
    if (g_orma.protocol != 2 || g_orma.com_state != 0)
        return;
    static const uint8_t NO_ANSWER[] = {MSG_NO_ANSWER};
    if (g_orma.host_callback)
        ForwardToHost(NO_ANSWER, 1);
    else
        OnResponse(NO_ANSWER, 1);
}
