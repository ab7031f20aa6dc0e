// The link frame: start byte, length byte, message, additive checksum; and the reassembly
// buffer in which the receive thread finds frames in the byte stream.
#pragma once

#include "link/link_ops.h"

#include <cstdint>

constexpr uint8_t FRAME_START_FLOW = 0xAA;  // protocol 2
constexpr uint8_t FRAME_START_PLAIN = 0x55; // protocol 1
constexpr uint8_t FRAME_START_OTHER = 0xCC; // any other protocol

constexpr int FRAME_OVERHEAD = 3;                    // start, length, checksum
constexpr int FRAME_MAX_MESSAGE = 255;
constexpr int FRAME_BUFFER_SIZE = FRAME_MAX_MESSAGE + FRAME_OVERHEAD; // every message fits
constexpr int RXBUF_SIZE = 2048;

struct RxBuffer {
    uint8_t data[RXBUF_SIZE];
    int32_t read_index; // first byte not yet consumed
    int32_t fill;       // bytes held from the start of data
};

// Builds one frame and writes it with the table's write operation: 0 when the whole frame was
// written, -1 when it was not or the message is not 1 to 255 bytes. Writes from several threads
// must be serialized by the caller, so that frames never interleave on the line.
int frame_send(const LinkOps* ops, uint8_t start, const uint8_t* message, int length, int limit_ms);

bool frame_is_start(uint8_t byte);
uint8_t frame_checksum(const uint8_t* bytes, int count);
// 0 for a valid frame of `total` bytes; -1 no start byte, -2 length byte wrong, -3 checksum wrong.
int frame_check(const uint8_t* frame, int total);

void rxbuf_reset(RxBuffer* buf);
// Moves the unread bytes to the front; gives the write position and the free space.
uint8_t* rxbuf_prepare(RxBuffer* buf, int* free_space);
// Accounts bytes written at the write position; -1 (and no change) when they would not fit.
int rxbuf_commit(RxBuffer* buf, int count);

// Returns the length of the next complete valid frame and its address inside the buffer
// (valid until the next rxbuf_prepare), consuming it with the bytes skipped before it; 0 when
// none is held. With line_quiet, the scan also looks past a start byte whose frame cannot
// complete with the bytes held, for a complete valid frame behind it (a false start with a long
// length byte must not hold real frames back). Bytes are consumed only with the frame that they
// precede: an unfinished frame stays held, however long the line is quiet.
// `skipped`, when given, gets the number of bytes consumed before the frame (they lie just before it).
int frame_extract(RxBuffer* buf, const uint8_t** frame, bool line_quiet = false, int* skipped = nullptr);

// Discards the bytes that a scan skips without finding a frame, keeping a tail that may begin
// one. Used when the buffer is full, so that reception recovers from any amount of noise.
// Returns the number of bytes discarded.
int rxbuf_discard_skipped(RxBuffer* buf);

// Prepares the next read as the receive thread does: like rxbuf_prepare, but a full buffer that
// holds no frame first drops its noise (shown to `dropped` first, when given), so the free space
// given is never 0.
uint8_t* rxbuf_prepare_read(RxBuffer* buf, int* free_space, void (*dropped)(const uint8_t*, int) = nullptr);
