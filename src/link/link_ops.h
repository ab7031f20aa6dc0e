// The operation table through which the link client and the frame writer use a transport.
#pragma once

#include <cstdint>

struct LinkOps {
    void* context; // the transport's own state
    // 0 when the link is up, negative when it failed.
    int (*open)(void* context);
    // Always 0.
    int (*close)(void* context);
    // Bytes written, or negative.
    int (*write)(void* context, const uint8_t* bytes, int count);
    // Waits for data: bytes read (at least 1 when at least 1 was asked for), negative when the
    // link failed or was closed.
    int (*read)(void* context, uint8_t* buffer, int max_count);
    // As read, and 0 when the time limit passed without data.
    int (*read_timeout)(void* context, uint8_t* buffer, int max_count, int timeout_ms);
    // Makes a read that waits on the link, and every later one, return a negative number at
    // once and without a console line, until the link is opened again. Stopping uses it so that
    // it never waits for a silent module. Always 0.
    int (*wake)(void* context);
};
