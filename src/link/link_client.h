// The link client of the serial and TCP links: configuration, receive callbacks, and the
// receive thread that cuts frames out of the byte stream.
#pragma once

#include "link/com_port.h"
#include "link/link_ops.h"
#include "support/message.h"

#include <chrono>
#include <cstdint>

constexpr int32_t LINK_TCP = 1;
constexpr int32_t LINK_COM = 2;
// A transport of the caller's own, given as its operation table: the tests use it to run the
// client over a link whose every open, wake and close they control. The library's modes never
// choose it.
constexpr int32_t LINK_CUSTOM = 3;

struct LinkTcpSettings {
    uint16_t port;      // host byte order
    char address[256];  // a name or an IPv4 or IPv6 address, zero-terminated
};

struct LinkConfig {
    int32_t type; // LINK_TCP, LINK_COM, LINK_CUSTOM, anything else: TCP client to 127.0.0.1:5002
    union {
        ComSettings com;
        LinkTcpSettings tcp;
        LinkOps custom; // used as given; what its context points to must outlive the stop
    };
};

void ORMA_Cli_Configure(const LinkConfig* config);
void ORMA_Cli_SetCallbacks(ReceiveCallback first, ReceiveCallback second);
// Called on the link's thread when an open link fails, before the host hears that it is down:
// the command in flight gets its "no answer" response (null: nothing is called).
void ORMA_Cli_SetLinkLost(void (*lost)());
// Called when the link is up: at the start's open, and each time it comes back (null: nothing).
void ORMA_Cli_SetLinkUp(void (*up)());
// Opens the link and starts the receive thread, without waiting for anything more. With the Reconnect setting (the default), a link
// that fails, or that cannot be opened here, is opened again every 300 ms until the stop, and
// the host hears of each change through the second callback: MSG_LINK_DOWN, then MSG_LINK_UP.
// 0 when the link is open, -1 otherwise (the receive thread may still be bringing it up).
int ORMA_Cli_Start();
int ORMA_Cli_Stop();

// The library is being unloaded: the receive thread is stopped without a console line, waited
// for at most 2000 ms (never by its handle), and the link is closed.
void ORMA_Cli_Unload();

// Writes one frame (start byte, message of 1 to 255 bytes) on the link: 0 when the link took the
// whole frame, -1 when it did not. While a link that comes back is down nothing is written. No
// lock that the stop or another sender needs is held across the write, which is bounded (1 s
// without progress on TCP) and ends at once when the link is woken; a write that fails gives up
// an open link, which then comes back under the Reconnect setting.
// The write waits for the writes of other threads and for the link together until `by`.
int ORMA_Cli_Send(uint8_t start, const uint8_t* message, int length, std::chrono::steady_clock::time_point by);

// Hands the message of one received frame (`length` bytes, start byte first) to the receive
// callback of its start byte and class; the receive thread calls it for every frame.
void link_dispatch(const uint8_t* frame, int length);
