// The link client of the serial and TCP links: configuration, receive callbacks, and the
// receive thread that cuts frames out of the byte stream.
#pragma once

#include "link/com_port.h"
#include "link/link_ops.h"
#include "support/message.h"

#include <cstdint>

constexpr int32_t LINK_TCP = 1;
constexpr int32_t LINK_COM = 2;

struct LinkTcpSettings {
    uint16_t port;     // host byte order
    char address[22];  // dotted IPv4 text, zero-terminated
};

struct LinkConfig {
    int32_t type; // LINK_TCP, LINK_COM, anything else: TCP client to 127.0.0.1:5002
    union {
        ComSettings com;
        LinkTcpSettings tcp;
    };
};

void ORMA_Cli_Configure(const LinkConfig* config);
void ORMA_Cli_SetCallbacks(ReceiveCallback first, ReceiveCallback second);
// Called on the link's thread when an open link fails, before the host hears that it is down:
// the command in flight gets its "no answer" response (null: nothing is called).
void ORMA_Cli_SetLinkLost(void (*lost)());
int ORMA_Cli_Start();
int ORMA_Cli_Stop();

// The library is being unloaded: the receive thread is stopped without a console line, waited
// for at most 2000 ms (never by its handle), and the link is closed.
void ORMA_Cli_Unload();

// The operation table of the configured transport (empty entries before the first start).
const LinkOps* ORMA_Cli_Ops();

// Hands the message of one received frame (`length` bytes, start byte first) to the receive
// callback of its start byte and class; the receive thread calls it for every frame.
void link_dispatch(const uint8_t* frame, int length);
