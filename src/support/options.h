// The library's own settings, read from the INI file's [ORMA_LINK] section at every Init.
//
// Each setting that changes what crosses the exports or the wire has a value that gives back
// the plain behaviour of the system: ResponseTimeout = 0, Reconnect = OFF, SplitLongMessages =
// ON, StartWait = FIXED, SendQueued = OFF. A file or key that is absent leaves the default (the table's:
// config/config_table.h).
#pragma once

#include "config/config_table.h"

#include <cstdint>
#include <string>

struct OrmaOptions {
    // Under protocol 2, a command in flight longer than this gets the "no answer" response 0x85;
    // 0 waits for its response forever.
    uint32_t response_timeout_ms = orma_config::DEFAULT_RESPONSE_TIMEOUT_MS;
    // Modes 1 and 2: a link that fails, or cannot be opened at Init, is opened again every 300 ms
    // until Exit; OFF keeps the one-shot link.
    bool reconnect = orma_config::DEFAULT_RECONNECT;
    // Modes 3 and 4: a message longer than one device block is split into several commands
    // instead of being refused.
    bool split_long_messages = orma_config::DEFAULT_SPLIT_LONG_MESSAGES;
    // Protocol 2: the next queued command goes out as soon as the com state reopens; OFF leaves
    // it for ORMA_DLL_Loop.
    bool send_queued = orma_config::DEFAULT_SEND_QUEUED;
    // ORMA_DLL_Init returns as soon as the link is up (READY), waiting at most the described
    // time for a link that is not; FIXED always waits the described time.
    bool start_wait_ready = orma_config::DEFAULT_START_WAIT_READY;
    // Mode 2: the module's address, a name or an IPv4 or IPv6 address, and its TCP port.
    std::string host = orma_config::DEFAULT_HOST;
    uint16_t port = orma_config::DEFAULT_PORT;
    // Mode 1: a port number n (COMn on Windows; on Linux the ORMA_COMn variable or /dev/COMn) or
    // a device name (COM12, /dev/ttyUSB0).
    std::string com_port = orma_config::DEFAULT_COM_PORT;
    // [ORMA_CAPTURE]: the file that the link's traffic is captured into (none: no capture), and
    // its bound in bytes (0: none).
    std::string capture_file{};
    uint64_t capture_max_bytes = 0;
};

// The settings in force (a copy: Init may replace them from another thread).
OrmaOptions options_current();
void options_set(const OrmaOptions& options);
