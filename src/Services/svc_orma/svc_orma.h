// Message records and singly linked lists of them. Every record is one tracking-heap block
// holding the fixed fields and the message bytes together.
#pragma once

#include <cstdint>

struct SvcMsg {
    uint8_t* data;   // points at `code` of this very record
    uint16_t length; // message length, code included
    SvcMsg* next;
    uint8_t code;    // followed at once by the payload bytes
};

SvcMsg* svc_msg_create(uint8_t code, const uint8_t* payload, uint16_t payload_length);
void svc_msg_free(SvcMsg* record);

// A list is the address of its head pointer. Append and pop take the message-list lock.
void svc_list_append(SvcMsg** list, SvcMsg* record);
void svc_list_pop(SvcMsg** list);
// Unlinks the head under the lock and hands it to the caller, who releases it; null when empty.
SvcMsg* svc_list_take(SvcMsg** list);
// Removes and releases the first record that `match` picks, under the lock; false when none did.
bool svc_list_drop_first(SvcMsg** list, bool (*match)(const SvcMsg* record));
SvcMsg* svc_list_free(SvcMsg* record); // releases the whole chain, returns null
SvcMsg* svc_list_last(SvcMsg* record);
int svc_list_count(const SvcMsg* record);
