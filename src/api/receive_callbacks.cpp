#include "api/receive_callbacks.h"

#include "api/flight.h"
#include "api/receive_list.h"
#include "api/session.h"
#include "capture/capture.h"
#include "logging/log.h"
#include "support/options.h"

int32_t OnResponse(const uint8_t* message, int32_t length)
{
    const SessionUse use;
    if (!use)
        return 1;
    return flight_store_response(use.seq(), message, static_cast<uint16_t>(length));
}

// Until the host has polled once, notifications do not pile up: each one that arrives makes the
// oldest stored notification (perhaps itself) go. Responses stay.
int32_t OnNotification(const uint8_t* message, int32_t length)
{
    const SessionUse use;
    if (!use)
        return 1;
    Log_Message(message, static_cast<uint16_t>(length));
    const bool stored = receive_list_store(use.seq(), message, static_cast<uint16_t>(length));
    if (g_orma.host_has_polled == 0)
        receive_list_drop_oldest_notification(use.seq());
    return stored ? 0 : 1;
}

int32_t ForwardToHost(const uint8_t* message, int32_t length)
{
    flight_forward(message, length);
    return 0;
}

void OnLinkLost()
{
    // A link that is tried again is down; the one-shot link (Reconnect = OFF) has failed for good.
    g_orma.link_state = mode_is_usb(g_orma.mode) || options_current().reconnect ? 0 : -1;
    capture_link(orma_capture::LINK_DOWN);
    flight_link_lost();
}

void OnLinkUp()
{
    g_orma.link_state = 1;
    capture_link(orma_capture::LINK_UP);
    start_waits_link_up();
}
