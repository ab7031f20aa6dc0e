// The module's side of the link, without any I/O: the link frame, what the simulator answers,
// the notifications it makes, and how it garbles its output on request (noise, split writes,
// bad checksums). Plain portable C++: every role of the simulator (TCP, serial) builds on it.
//
// The frame code here is the module's own, written from the wire format and not taken from the
// library, so that the tests that run the library against the simulator check the library's
// framing and checksum against an independent implementation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

// The link frame: start byte, length byte (1 to 255), message, and the 8-bit sum of every byte
// before it. The start byte names the host's protocol; the module accepts all three.
constexpr uint8_t START_FLOW = 0xAA;  // protocol 2
constexpr uint8_t START_PLAIN = 0x55; // protocol 1
constexpr uint8_t START_OTHER = 0xCC; // any other protocol
constexpr size_t FRAME_OVERHEAD = 3;
constexpr size_t MAX_MESSAGE = 255;
// The host keeps 2048 bytes for reassembly; noise before a frame must leave room for the
// longest frame.
constexpr int HOST_BUFFER = 2048;
constexpr int MAX_NOISE = HOST_BUFFER - static_cast<int>(MAX_MESSAGE + FRAME_OVERHEAD);

bool is_start(uint8_t byte);
uint8_t checksum(const uint8_t* bytes, size_t count);

// Cuts frames out of the byte stream from the host, as the module's receiver does: bytes that
// cannot begin a valid frame are skipped; a start byte whose frame is not complete yet waits for
// more bytes.
class FrameReader {
public:
    void feed(const uint8_t* bytes, size_t count);
    // The next complete valid frame (start byte to checksum), consuming the bytes before it.
    bool next(Bytes& frame);
    size_t pending() const { return held_.size(); }
private:
    Bytes held_;
};

// Small deterministic generator (xorshift64*), so that a seed replays the same run.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 0x2545F4914F6CDD1DULL) {}
    uint32_t next();
    uint32_t below(uint32_t n); // 0 .. n-1; 0 when n is 0
private:
    uint64_t state_;
};

// Control commands: code 0x7F, the first payload byte says what to do.
constexpr uint8_t CONTROL_CODE = 0x7F;
enum ControlOp : uint8_t {
    CTL_PERIODIC = 0x01,     // 7F 01 hh ll: notifications every hhll ms (0 stops them)
    CTL_SUBCHANNELS = 0x02,  // 7F 02 n: n sub-channel configuration notifications before the answer
    CTL_ERROR = 0x03,        // 7F 03: one error notification before the answer
    CTL_SILENT = 0x04,       // 7F 04: answer nothing from now on
    CTL_DROP = 0x05,         // 7F 05: close the connection at once, unanswered
    CTL_DELAY = 0x06,        // 7F 06 hh ll: answer this command only after hhll ms
    CTL_UNPLUG = 0x07,       // 7F 07 hh ll: pull the line away for hhll ms, unanswered
};

constexpr uint8_t SUBCHANNEL_CODE = 0xE0;
constexpr uint8_t SUBCHANNEL_KIND = 0x46;
constexpr uint8_t ERROR_CODE = 0xF0;

// Whether a received message is a command the module answers (codes below 0x80).
bool is_command(const uint8_t* message, int length);

// The answer to a command: code 0x80 | (code & 0x3F), payload echoed unchanged.
Bytes response_to(const uint8_t* message, int length);

// One frame: start byte, length, message, additive checksum (made wrong on request).
Bytes make_frame(uint8_t start, const Bytes& message, bool bad_checksum = false);

// Sub-channel configuration: the 32-bit word and the notification E0 46 word time (big-endian).
struct SubChannel {
    unsigned id;         // 0..63
    bool efc;
    bool switch_on;
    unsigned start_cu;   // 0..1023
    unsigned protection; // 0..7
    bool eep;
    unsigned size_cu;    // 0..1023
};
uint32_t subchannel_word(const SubChannel& sc);
SubChannel subchannel_from_word(uint32_t word);
Bytes subchannel_notification(uint32_t word, int32_t time_ms);

// Error notification: F0, error number, the code of the last command, time in ms (big-endian).
Bytes error_notification(uint8_t error, uint8_t last_command, int32_t time_ms);

// A plausible change of the ensemble's sub-channels: one of the first eight ids is switched on
// with a new placement, or now and then switched off.
SubChannel next_subchannel(Rng& rng);

// Up to max_bytes (at most MAX_NOISE) random bytes, start bytes among them, that a receiver's
// scan passes over when they come right before `frame`: no false frame and no start byte that
// waits for more bytes than the frame brings.
Bytes make_noise(Rng& rng, int max_bytes, const Bytes& frame);

// Cuts bytes into 1 to max_pieces pieces at random places, each to be written on its own.
std::vector<Bytes> split(Rng& rng, const Bytes& bytes, int max_pieces);

// A piece to write and the pause before it, in milliseconds.
struct Piece {
    Bytes bytes;
    int gap_ms;
};
// As split(), and with gaps (gap_max > 0) at least two pieces, each after the first written
// gap_min to gap_max ms after the one before it: a slow bridge.
std::vector<Piece> pace(Rng& rng, const Bytes& bytes, int max_pieces, int gap_min, int gap_max);
// "MIN-MAX" (or "MS" for both), decimal milliseconds up to `limit`, MIN <= MAX.
bool parse_range(const char* text, int limit, int& min, int& max);

// The block of the USB role: type, client number, then 'A' one payload byte and a byte without
// meaning, 'B' two payload bytes, 'O' the payload length (16 bits, little-endian) and the payload.
// The module's own reading and writing of it, written apart from the library's like the frame.
constexpr size_t BLOCK_HEADER = 4;
constexpr size_t BLOCK_MAX_MESSAGE = 250;
// The block of one message (1 to 250 bytes) for a client (0 to 15); empty for any other message.
Bytes make_block(uint8_t client, const Bytes& message);
// The client number and the message of exactly one block; false when the bytes are not one whole
// block with a message (bit 7 of the type and bits 4 to 7 of the client number are ignored).
bool read_block(const uint8_t* bytes, size_t size, uint8_t& client, Bytes& message);

std::string hex(const uint8_t* bytes, size_t count);
inline std::string hex(const Bytes& bytes)
{
    return hex(bytes.data(), bytes.size());
}

} // namespace sim
