#include "api/receive_list.h"

#include "support/message.h"

#include "support/wake_word.h"

#include <atomic>
#include <cstring>

namespace {

// Notifications in the list, so that a response at a full table looks for one to give way only
// when there is one.
std::atomic<int32_t> g_notifications_held{0};
// Messages in the list, so that a host polling an empty list reads one counter and touches
// nothing that the receive thread writes.
std::atomic<int32_t> g_held{0};

// The hosts waiting for a message wait for the count of changes to move on. Never destroyed: at
// the process's exit a waiting thread ended by the system may still be inside it.
WakeWord& g_changes = *new WakeWord;

bool is_notification(const SvcMsg* record)
{
    return msg_is_notification(record->code);
}

} // namespace

void receive_list_reset()
{
    g_notifications_held = 0;
    g_held = 0;
}

bool receive_list_empty()
{
    return g_held.load(std::memory_order_acquire) <= 0;
}

bool receive_list_drop_oldest_notification(SvcSeq* seq)
{
    if (g_notifications_held <= 0 || !svc_list_drop_first(&seq->rx_list, is_notification))
        return false;
    --g_notifications_held;
    --g_held;
    return true;
}

bool receive_list_store(SvcSeq* seq, const uint8_t* message, uint16_t length, Wake wake)
{
    if (length == 0)
        return false;
    const bool notification = msg_is_notification(message[0]);
    for (;;) {
        if (SvcMsg* record = svc_msg_create(message[0], message + 1, static_cast<uint16_t>(length - 1))) {
            if (notification)
                ++g_notifications_held; // counted before it is seen: a scan may find none
            svc_list_append(&seq->rx_list, record);
            g_held.fetch_add(1, std::memory_order_release);
            if (wake == Wake::Now)
                g_changes.bump();
            return true;
        }
        // A response is never given up for a notification.
        if (notification || !receive_list_drop_oldest_notification(seq))
            return false;
    }
}

void receive_list_append(SvcSeq* seq, SvcMsg* record, Wake wake)
{
    svc_list_append(&seq->rx_list, record);
    g_held.fetch_add(1, std::memory_order_release);
    if (wake == Wake::Now)
        g_changes.bump();
}

bool receive_list_take(SvcSeq* seq, uint8_t* buffer, uint8_t* length)
{
    // Taken off the list under the list lock: the receive thread may drop the oldest notification
    // at the same moment until it sees the first poll.
    SvcMsg* record = svc_list_take(&seq->rx_list);
    if (!record)
        return false;
    --g_held;
    if (msg_is_notification(record->code))
        --g_notifications_held;
    *length = static_cast<uint8_t>(record->length);
    std::memcpy(buffer, record->data, *length);
    svc_msg_free(record);
    return true;
}

uint32_t receive_list_changes()
{
    return g_changes.load();
}

bool receive_list_wait(uint32_t seen, std::chrono::steady_clock::time_point until)
{
    return g_changes.wait(seen, until);
}

void receive_list_wake()
{
    g_changes.bump();
}
