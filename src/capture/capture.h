// The library's capture of the link's traffic ([ORMA_CAPTURE] File): every message sent and
// received, in every mode, the frames and noise of the serial and TCP links, the link's state
// changes and the messages the library makes up, with microsecond time stamps that only increase.
// The file is pcapng (capture/pcapng.h). With no capture running, each hook costs one relaxed load.
#pragma once

#include "capture/pcapng.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace capture_detail {
extern std::atomic<bool> g_on;
void message(uint8_t direction, uint8_t origin, uint8_t start, const uint8_t* message, int length,
             uint8_t flags = 0);
void skipped(const uint8_t* bytes, int length);
void link(uint8_t event);
} // namespace capture_detail

// Opens the file (replacing one of the name) for a session of the mode; an empty name captures
// nothing. A file that cannot be created is reported with one console line.
void capture_start(const std::string& file, uint64_t max_bytes, uint8_t mode);
// Writes what is held and closes the file; the last record says the link stopped.
void capture_stop();

inline bool capture_on()
{
    return capture_detail::g_on.load(std::memory_order_relaxed);
}

// A message that crossed the link, or that the library made up. Framed links give their start
// byte: the record then holds the whole frame.
inline void capture_message(orma_capture::Direction direction, orma_capture::Origin origin, const uint8_t* message,
                            int length, uint8_t start = 0)
{
    if (capture_on())
        capture_detail::message(direction, origin, start, message, length);
}
// A message captured as sent that the link then did not take.
inline void capture_not_sent(const uint8_t* message, int length, uint8_t start = 0)
{
    if (capture_on())
        capture_detail::message(orma_capture::TO_MODULE, orma_capture::FROM_LINK, start, message, length,
                                orma_capture::NOT_SENT);
}
// Bytes that the receive side skipped: frames with a bad checksum and noise.
inline void capture_skipped(const uint8_t* bytes, int length)
{
    if (capture_on() && length > 0)
        capture_detail::skipped(bytes, length);
}
inline void capture_link(orma_capture::LinkEvent event)
{
    if (capture_on())
        capture_detail::link(event);
}
