// The link frame: start byte, length byte, message, additive checksum.
#pragma once

#include <cstdint>

constexpr uint8_t FRAME_START_FLOW = 0xAA;  // protocol 2
constexpr uint8_t FRAME_START_PLAIN = 0x55; // protocol 1
constexpr uint8_t FRAME_START_OTHER = 0xCC; // any other protocol

// Builds one frame in the frame buffer and writes it through the active link. Returns 0.
int frame_send(uint8_t start, const uint8_t* message, int length);
