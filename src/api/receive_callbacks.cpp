#include "api/receive_callbacks.h"

#include "logging/log.h"

OrmaState g_orma;

namespace {
uint16_t log_length(int32_t length)
{
    return static_cast<uint16_t>(length);
}
} // namespace

int32_t OnResponse(const uint8_t* message, int32_t length)
{
    Log_Message(message, log_length(length));
    const int stored = svc_seq_store_received(g_orma.seq.load(), message, static_cast<uint16_t>(length));
    g_orma.com_state = 1;
    return stored ? 0 : 1;
}

int32_t OnNotification(const uint8_t* message, int32_t length)
{
    Log_Message(message, log_length(length));
    SvcSeq* seq = g_orma.seq.load();
    const int stored = svc_seq_store_received(seq, message, static_cast<uint16_t>(length));
    if (seq && g_orma.host_has_polled == 0)
        svc_list_pop(&seq->rx_list);
    return stored ? 0 : 1;
}

int32_t ForwardToHost(const uint8_t* message, int32_t length)
{
    Log_Message(message, log_length(length));
    // A host with a callback takes its responses there, so the response itself reopens the com
    // state; otherwise protocol 2 would keep every later command in the send list. It is opened
    // before the call so that a callback may send the next command at once.
    if (g_orma.protocol == 2 && length > 0 && msg_is_response(message[0]))
        g_orma.com_state = 1;
    return g_orma.host_callback ? g_orma.host_callback(message, length) : 0;
}
