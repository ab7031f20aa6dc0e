// The command in flight under protocol 2: the com state, the response deadline and the "no
// answer" response 0x85.
//
// A command is in flight from the moment the com state closes for it until it is answered: by a
// response from the link, or by 0x85 when its deadline passes (the [ORMA_LINK] key
// ResponseTimeout, 0: never) or its link fails. Each of these ends the flight once and reopens
// the com state; whichever comes second finds nothing in flight, so a command gets at most one
// 0x85 from here. A response that arrives after its 0x85 is handed on like any other. A response
// ends the wait of the command in flight whichever command it answers: the host matches
// responses by code.
//
// The deadline is kept by a library thread of its own, so that it passes also for a host that
// only polls the com state.
#pragma once

#include "Services/svc_orma/svc_seq_orma.h"

#include <cstdint>

// A session under protocol 2 begins: nothing is in flight. The deadline thread starts with the
// first command that has a deadline.
void flight_start();
// The session ends: the deadline thread is asked to stop, woken and waited for at most
// `limit_ms` (it may be in the host's callback), and the record kept for a "no answer" is
// released. Called after the session has closed (no send can make a new one) and before the
// sequencer goes.
void flight_stop(unsigned limit_ms);

// Hands the first queued record to the link when the com state is open. The state is closed
// before the record leaves, so that a response arriving at once on the receive thread is never
// overwritten, and opened again when nothing was handed over. Under protocol 2 the record handed
// over is in flight from then on. Called under the exports' send lock.
void flight_hand_over(SvcSeq* seq);

// A response arrived for a host without a callback: it is stored (see store_received), the
// flight ends and the com state reopens. A response that finds no room while a command is in
// flight is stored as 0x85 in a record kept for the purpose, so that a polling host is never left
// waiting. 0 when the response itself was stored, else 1.
int32_t flight_store_response(SvcSeq* seq, const uint8_t* message, uint16_t length);
// A response is about to be handed to the host's callback: the flight ends, the com state
// reopens (before the call, so that the callback may send the next command at once).
void flight_response_forwarded();
// The link failed: the command in flight gets 0x85 now; one whose send is still under way gets
// it as soon as the send has ended. Nothing when no command is in flight.
void flight_link_lost();
