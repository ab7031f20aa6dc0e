// The receive callbacks that the links call for every message that arrives, and for the facts
// they report about themselves.
#pragma once

#include <cstdint>

// Protocol 2 without a callback: log, store, end the flight.
int32_t OnResponse(const uint8_t* message, int32_t length);
// Protocol 2 without a callback: log, store; until the host has polled once, drop the oldest
// stored notification.
int32_t OnNotification(const uint8_t* message, int32_t length);
// With a callback: every message goes to the host's callback through the one path; under
// protocol 2 responses also end the flight.
int32_t ForwardToHost(const uint8_t* message, int32_t length);
// The link went down: the command in flight gets the "no answer" response 0x85, and the link's
// state is down (or, for the one-shot link, none).
void OnLinkLost();
// The link is up: its state says so, and a start that waits for it goes on.
void OnLinkUp();
