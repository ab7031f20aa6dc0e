// The block exchanged with the receiver's USB driver, and forwarded unchanged by the owner process
// to the pipe client whose number it carries. Multi-byte fields are little-endian.
//
//   offset  'A' block        'B' block            'O' block
//   0       0x41             0x42                 0x4F            (readers ignore bit 7)
//   1       client number    client number        client number   (bits 0-3; readers ignore 4-7)
//   2       the payload byte first payload byte   payload length, low byte
//   3       no meaning       second payload byte  payload length, high byte
//   4..     -                -                    the payload
//
// A 1-byte message travels as an 'A' block, a 2-byte one as a 'B' block, 3 to 250 bytes as an 'O'
// block, so a block is at most 254 bytes. The payload is one message, code first.
#pragma once

#include <cstdint>

constexpr uint8_t DEVICE_BLOCK_A = 0x41;
constexpr uint8_t DEVICE_BLOCK_B = 0x42;
constexpr uint8_t DEVICE_BLOCK_O = 0x4F;
constexpr int DEVICE_BLOCK_HEADER = 4;
constexpr int DEVICE_BLOCK_MAX_MESSAGE = 250;
constexpr int DEVICE_BLOCK_MAX = DEVICE_BLOCK_HEADER + DEVICE_BLOCK_MAX_MESSAGE; // 254

struct DeviceBlock {
    uint8_t type;
    uint8_t client;
    uint8_t data[DEVICE_BLOCK_MAX - 2]; // 'A'/'B': payload at data[0..1]; 'O': length, then payload
};
static_assert(sizeof(DeviceBlock) == DEVICE_BLOCK_MAX);

// Builds the block of one message for a client (only its low four bits are kept) into `out`, which
// holds DEVICE_BLOCK_MAX bytes. Returns the block's size, or 0 for a missing or empty message or
// one of more than 250 bytes.
int device_block_make(uint8_t client, const uint8_t* message, uint16_t length, uint8_t* out);

// The payload length that a block header announces: the low four bits of the type for 'A' and
// 'B', the 16-bit length of an 'O' block (up to 65535), 0 for any other type.
int device_block_payload_length(const uint8_t* header);

// Hands each message of the blocks in `bytes` to `deliver`, in order, and returns the bytes they
// took. A block whose announced payload does not fit the bytes held ends the walk: nothing is read
// past them. One to three bytes after the last block are ignored.
template <typename Deliver>
int device_blocks_parse(const uint8_t* bytes, int length, Deliver&& deliver)
{
    int at = 0;
    while (length - at >= DEVICE_BLOCK_HEADER) {
        const uint8_t* block = bytes + at;
        const uint8_t type = block[0] & 0x7F;
        const int payload = device_block_payload_length(block);
        const int offset = type == DEVICE_BLOCK_O ? DEVICE_BLOCK_HEADER : 2;
        const int extent = type == DEVICE_BLOCK_O ? payload + DEVICE_BLOCK_HEADER : DEVICE_BLOCK_HEADER;
        if (extent > length - at)
            return at;
        if (payload > 0)
            deliver(block + offset, static_cast<uint16_t>(payload));
        at += extent;
    }
    return at;
}
