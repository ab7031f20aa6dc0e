#include "usb/device_block.h"

#include <cstring>

int device_block_make(uint8_t client, const uint8_t* message, uint16_t length, uint8_t* out)
{
    if (!message || length == 0 || length > DEVICE_BLOCK_MAX_MESSAGE)
        return 0;
    out[1] = client & 0x0F;
    if (length <= 2) {
        out[0] = length == 1 ? DEVICE_BLOCK_A : DEVICE_BLOCK_B;
        out[2] = message[0];
        out[3] = length == 2 ? message[1] : 0;
        return DEVICE_BLOCK_HEADER;
    }
    out[0] = DEVICE_BLOCK_O;
    out[2] = static_cast<uint8_t>(length);
    out[3] = static_cast<uint8_t>(length >> 8);
    std::memcpy(out + DEVICE_BLOCK_HEADER, message, length);
    return length + DEVICE_BLOCK_HEADER;
}

int device_block_payload_length(const uint8_t* header)
{
    switch (header[0] & 0x7F) {
    case DEVICE_BLOCK_A:
    case DEVICE_BLOCK_B:
        return header[0] & 0x0F;
    case DEVICE_BLOCK_O:
        return header[2] | header[3] << 8;
    default:
        return 0;
    }
}
