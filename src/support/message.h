// What every layer knows about a message: its class by the two top bits of the code, and the
// callback through which a link hands over each message it receives.
#pragma once

#include <cstdint>

// Called for each received message (code first); the pointer is valid only during the call.
// The result is ignored by the links.
using ReceiveCallback = int32_t (*)(const uint8_t* message, int32_t length);

enum MsgClass : uint8_t {
    MSG_CLASS_00 = 0,           // host to module (codes 0x00 to 0x3F)
    MSG_CLASS_COMMAND = 1,      // host to module (codes 0x40 to 0x7F, "commands" in the log)
    MSG_CLASS_RESPONSE = 2,     // module to host (0x80 to 0xBF)
    MSG_CLASS_NOTIFICATION = 3, // module to host (0xC0 to 0xFF)
};

constexpr MsgClass msg_class(uint8_t code)
{
    return static_cast<MsgClass>(code >> 6);
}
constexpr bool msg_is_response(uint8_t code)
{
    return msg_class(code) == MSG_CLASS_RESPONSE;
}
constexpr bool msg_is_notification(uint8_t code)
{
    return msg_class(code) == MSG_CLASS_NOTIFICATION;
}
// Commands and responses: exactly one of the two top bits set (0x40 to 0xBF).
constexpr bool msg_is_command_or_response(uint8_t code)
{
    return msg_class(code) == MSG_CLASS_COMMAND || msg_class(code) == MSG_CLASS_RESPONSE;
}

constexpr uint8_t MSG_ERROR_NOTIFICATION = 0xF0;

// The messages the library makes up itself: the "no answer" response of a command that got no
// real one (deadline passed, link or pipe lost), and the link's state notifications.
constexpr uint8_t MSG_NO_ANSWER = 0x85;
constexpr uint8_t MSG_LINK_UP[] = {0xF0, 0xE0, 0x03, 0xFF, 0x01, 0x12};
constexpr uint8_t MSG_LINK_DOWN[] = {0xF0, 0xE0, 0x03, 0xFF, 0x00, 0x12};
