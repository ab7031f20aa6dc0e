// The receive callbacks that the links call for every message that arrives, and the state of
// the host interface that they share with the exports.
#pragma once

#include "Services/svc_orma/svc_seq_orma.h"
#include "support/message.h"

#include <atomic>
#include <cstdint>

// Log, store at the end of the receive list, open the com state again.
int32_t OnResponse(const uint8_t* message, int32_t length);
// Log, store; until the host has polled once, drop the oldest stored message.
int32_t OnNotification(const uint8_t* message, int32_t length);
// Log and hand to the host's callback; responses also open the com state.
int32_t ForwardToHost(const uint8_t* message, int32_t length);

// The state of the host interface, one instance per process.
struct OrmaState {
    int32_t mode = 0;
    int32_t protocol = 0;
    int32_t (*host_callback)(const uint8_t*, int32_t) = nullptr;
    std::atomic<int32_t> com_state{1};
    std::atomic<int32_t> host_has_polled{0};
    std::atomic<SvcSeq*> seq{nullptr};
};

extern OrmaState g_orma;
