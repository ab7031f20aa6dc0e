// The operation table through which the link client and the frame writer use a transport, and
// the results that every transport gives, with the same meaning on every OS.
#pragma once

#include <cstdint>

// Results of the transport operations. Counts of bytes are positive; the rest are these. Some
// numbers carry two names because the operations that give them differ (open gives -2 for
// refused settings, a read or write -2 for a transfer whose result could not be had).
enum LinkResult : int {
    LINK_OK = 0,                // open: the link is up; close: always
    LINK_TIMEOUT = 0,           // read_timeout: the limit passed without data
    LINK_FAILED = -1,           // cannot open; the read or write failed; the link is closed or woken
    LINK_REFUSED_SETTINGS = -2, // open: the port refused its settings (it stays open)
    LINK_INCOMPLETE = -2,       // read, write: the transfer was started, its result not had
    LINK_WAIT_FAILED = -3,      // read_timeout: the wait itself failed
};

// No limit, for the waits of the transports' backends.
constexpr int LINK_WAIT_FOREVER = -1;

struct LinkOps {
    void* context; // the transport's own state
    int (*open)(void* context);
    int (*close)(void* context);
    // Writes all the bytes within `limit_ms`, ending at once at a wake: the count, or a negative
    // result.
    int (*write)(void* context, const uint8_t* bytes, int count, int limit_ms);
    // Waits for data: bytes read (at least 1 when at least 1 was asked for), negative when the
    // link failed or was closed.
    int (*read)(void* context, uint8_t* buffer, int max_count);
    // As read, and LINK_TIMEOUT when the time limit passed without data.
    int (*read_timeout)(void* context, uint8_t* buffer, int max_count, int timeout_ms);
    // Makes a read that waits on the link, an open that waits for its peer, and every later
    // one, return LINK_FAILED at once and without a console line, until the link is closed.
    // Stopping uses it so that it never waits for a silent module. Safe from any thread while
    // the link's thread opens, reads or closes. Always 0.
    int (*wake)(void* context);
};
