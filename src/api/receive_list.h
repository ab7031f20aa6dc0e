// The messages stored for a host without a callback, oldest first.
#pragma once

#include "Services/svc_orma/svc_seq_orma.h"

#include <chrono>
#include <cstdint>

// A new session: nothing is held.
void receive_list_reset();
// Stores a copy of the message at the end of the receive list. When the heap table has no room
// for a response, stored notifications give way, oldest first; a notification finds no room.
// False when nothing was stored.
bool receive_list_store(SvcSeq* seq, const uint8_t* message, uint16_t length);
// Appends a record made beforehand (a "no answer" kept for a full table).
void receive_list_append(SvcSeq* seq, SvcMsg* record);
// Drops the oldest stored notification; false when none is held.
bool receive_list_drop_oldest_notification(SvcSeq* seq);
// True when no message is held: one counter, read without a lock.
bool receive_list_empty();
// Takes the oldest message into buffer (255 bytes); false when none is held.
bool receive_list_take(SvcSeq* seq, uint8_t* buffer, uint8_t* length);

// A host that waits for a message: it reads the count of changes, looks at the list, and waits
// until the count has moved on from what it read, or `until` passes (false). Every store and
// every stop moves it on; a store costs a waiting host's wake-up only while one waits.
uint64_t receive_list_changes();
bool receive_list_wait(uint64_t seen, std::chrono::steady_clock::time_point until);
// The session has closed: every waiting host wakes up and finds it closed.
void receive_list_wake();
