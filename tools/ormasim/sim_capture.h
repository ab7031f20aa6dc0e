// --capture FILE: the module's side of the link as a capture file (see capture/pcapng.h): every
// message received and sent, noise, spoiled frames, and the link's coming and going as the module
// sees it. Each record is flushed at once, so the file is whole whenever the program ends.
#pragma once

#include "capture/pcapng.h"
#include "sim_core.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

class Capture {
public:
    // mode: 1 serial, 2 TCP, 3 USB. Ends the program when the file cannot be written.
    Capture(const std::string& path, uint8_t mode);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // A message (start 0) or a whole frame (its start byte) received from the host.
    void received(const Bytes& bytes, uint8_t start);
    // A message or frame sent; flags adds NOISE or BAD_SUM for bytes that are no good frame.
    void sent(const Bytes& bytes, uint8_t start, uint8_t flags = 0);
    // The link came (back), or the module dropped it.
    void link(bool up);

private:
    void put(uint8_t direction, uint8_t start, uint8_t flags, const Bytes& bytes);

    FILE* file_;
    uint8_t mode_;
    uint64_t last_us_ = 0;
};

} // namespace sim
