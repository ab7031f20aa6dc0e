// The capture file: pcapng with one interface of link type 147 (LINKTYPE_USER0), microsecond
// time stamps, and one Enhanced Packet Block per record. Each packet is an 8-byte header followed
// by the bytes that crossed the link (or that the library made up):
//
//   offset  size  field
//   0       1     version, 1
//   1       1     header length, 8 (a reader skips this many bytes to reach the bytes)
//   2       1     direction: 0 to the module, 1 to the host, 2 neither (a link event)
//   3       1     origin: 0 the link (the bytes crossed it), 1 the library (it made them up)
//   4       1     mode: 1 serial, 2 TCP, 3 and 4 USB; 0 not known
//   5       1     start byte of the frame (0xAA, 0x55, 0xCC); 0 where the link has no frames
//   6       1     flags, below
//   7       1     0
//
// Flags say what the bytes are:
//   0x01 FRAME     a whole frame: start byte, length byte, message, checksum
//   0x02 NOISE     bytes that made no frame and were skipped
//   0x04 BAD_SUM   a frame whose checksum was wrong, skipped
//   0x08 LINK      a link event; one byte: 1 up, 0 down, 0xFF stopped
//   0x10 MODULE    written by the module's side (the simulator), not by the library
//   0x20 NOT_SENT  the message of the record before it was not written: the link did not take it
// Without FRAME, NOISE, BAD_SUM or LINK the bytes are one message, code first.
//
// This file writes and reads the blocks only; no thread, no lock, no system call but stdio.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace orma_capture {

inline constexpr uint32_t LINKTYPE = 147;
inline constexpr uint8_t VERSION = 1;
inline constexpr uint8_t HEADER_LENGTH = 8;

enum Direction : uint8_t { TO_MODULE = 0, TO_HOST = 1, NO_DIRECTION = 2 };
enum Origin : uint8_t { FROM_LINK = 0, MADE_UP = 1 };
enum Flags : uint8_t { FRAME = 0x01, NOISE = 0x02, BAD_SUM = 0x04, LINK = 0x08, MODULE = 0x10, NOT_SENT = 0x20 };
enum LinkEvent : uint8_t { LINK_DOWN = 0, LINK_UP = 1, LINK_STOPPED = 0xFF };

struct Header {
    uint8_t direction = TO_MODULE;
    uint8_t origin = FROM_LINK;
    uint8_t mode = 0;
    uint8_t start = 0;
    uint8_t flags = 0;
};

// One packet as a reader gives it back.
struct Record {
    uint64_t time_us = 0; // microseconds since 1970
    Header header;
    std::vector<uint8_t> bytes;
    // The message the record holds, code first: the bytes, or a frame's message. Empty for
    // noise, a bad frame or a link event.
    const uint8_t* message(size_t* length) const;
};

// The section header and the interface: what every capture file begins with. `application`
// names the writer ("ORMA_DLL 1.1.0").
std::vector<uint8_t> file_head(const std::string& application);
// One Enhanced Packet Block, appended to `out`.
void append_packet(std::vector<uint8_t>& out, uint64_t time_us, const Header& header, const uint8_t* bytes,
                   size_t length);

// Reads a capture file: every packet of link type 147, in file order. False, with `error` set,
// when the file is no pcapng or is cut short inside a block (the records before it are kept).
bool read_file(const char* path, std::vector<Record>& records, std::string& error);

} // namespace orma_capture
