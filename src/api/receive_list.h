// The messages stored for a host without a callback, oldest first.
#pragma once

#include "Services/svc_orma/svc_seq_orma.h"

#include <chrono>
#include <cstdint>

// A new session: nothing is held.
void receive_list_reset();
// When a store wakes a waiting host: at once, or by the caller's receive_list_wake() once the
// caller's own locks are free, so that the host does not wake only to wait for them.
enum class Wake { Now, Later };
// Stores a copy of the message at the end of the receive list. When the heap table has no room
// for a response, stored notifications give way, oldest first; a notification finds no room.
// False when nothing was stored.
bool receive_list_store(SvcSeq* seq, const uint8_t* message, uint16_t length, Wake wake = Wake::Now);
// Appends a record made beforehand (a "no answer" kept for a full table).
void receive_list_append(SvcSeq* seq, SvcMsg* record, Wake wake = Wake::Now);
// Drops the oldest stored notification; false when none is held.
bool receive_list_drop_oldest_notification(SvcSeq* seq);
// True when no message is held: one counter, read without a lock.
bool receive_list_empty();
// Takes the oldest message into buffer (255 bytes); false when none is held.
bool receive_list_take(SvcSeq* seq, uint8_t* buffer, uint8_t* length);

// A host that waits for a message: it reads the count of changes, looks at the list, and waits
// until the count has moved on from what it read, or `until` passes (false). Every store and
// every stop moves it on; a store costs a waiting host's wake-up only while one waits.
uint32_t receive_list_changes();
bool receive_list_wait(uint32_t seen, std::chrono::steady_clock::time_point until);
// Every waiting host wakes up: a store made with Wake::Later, or the session has closed.
void receive_list_wake();
