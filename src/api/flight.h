// The answer rule: every command the host can hear an answer to gets one, in every mode.
//
// The link reports facts only: whether a write went out, and that it went down. From those the
// flight decides:
// - a command that the link does not take gets exactly one "no answer" response 0x85 whenever the
//   host can hear it (a callback under any protocol, or protocol 2 storing);
// - under protocol 2 one command is in flight from the moment the com state closes for it until
//   it is answered: by a response from the link, or by 0x85 when its deadline passes (the
//   [ORMA_LINK] key ResponseTimeout, 0: never) or its link goes down. Whichever comes first ends
//   the flight and reopens the com state; a response that comes after its 0x85 is handed on like
//   any other, after it. A response ends the wait of the command in flight whichever command it
//   answers: the host matches responses by code.
//
// The flight owns the com state and a library thread of its own (started the first time it is
// needed), which keeps the deadline, so that it passes also for a host that only polls, and hands
// on the 0x85s of commands refused on a host's thread. The thread sleeps without a limit while no
// deadline runs, and is woken only when a deadline begins after such a sleep: a command answered
// in time costs it nothing.
#pragma once

#include "Services/svc_orma/svc_seq_orma.h"

#include <cstdint>

// A session begins: nothing is in flight, the com state is open.
void flight_start();
// The session ends: the thread is asked to stop, woken and waited for at most `limit_ms` (it may
// be in the host's callback), and the record kept for a "no answer" is released. Called after the
// session has closed and before the sequencer goes.
void flight_stop(unsigned limit_ms);

// 1 when a command may be sent at once, 0 while one is in flight.
int32_t flight_com_state();

// The sequencer's send function says whether the link took the record it was handed (a send
// function that says nothing counts as taken). Under the exports' send lock.
void flight_note_write(bool taken);
// Protocol 2: hands the first queued record to the link when the com state is open. The state is
// closed before the record leaves, so that a response arriving at once on the receive thread is
// never overwritten. Under the exports' send lock.
void flight_hand_over(SvcSeq* seq);
// Other protocols: the record goes out at once; one the link did not take is answered. Under the
// exports' send lock.
void flight_send_now(SvcSeq* seq, SvcMsg* record);
// Other protocols: a command that never reached the link is answered.
void flight_not_taken();

// A message from the module for a host with a callback (a response ends the flight), or one of
// the link's notifications: queued and handed on, on the calling link thread.
void flight_forward(const uint8_t* message, int32_t length);
// A response for a host without a callback under protocol 2: stored, and the flight ends. A
// response that finds no room while a command is in flight is stored as 0x85 in a record kept for
// the purpose, so that a polling host is never left waiting. 0 when the response itself was
// stored, else 1.
int32_t flight_store_response(SvcSeq* seq, const uint8_t* message, uint16_t length);
// The link went down: the command in flight gets 0x85 now; one whose write is still under way
// gets it as soon as the write has ended.
void flight_link_lost();

// Called on the library thread that reopened the com state (a response, a deadline, a lost link)
// once the flight's lock is free, so that the next queued command can go out without waiting for
// ORMA_DLL_Loop. Null: nothing is called.
void flight_set_reopened(void (*reopened)());
