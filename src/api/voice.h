// The one path to a host with a callback. Every message for the host (the module's, each 0x85 the
// library makes up, the link's notifications) is queued here in the order the library decides
// it, and handed to the callback by one thread at a time, in that order. Only the library's own
// threads hand messages on, so a host's thread that sends never finds itself inside its own
// callback.
#pragma once

#include <cstdint>

// A session with a callback begins: messages are taken and handed on.
void voice_open();
// The session ends: what is queued is dropped, nothing more is handed on, and threads waiting
// for room go on. A callback running on another thread finishes its call.
void voice_close();
// A link's thread waits here before it queues a message from the module while the host's
// callback is far behind, as it would wait for the callback itself.
void voice_wait_for_room();
// Logs the message and queues it. False when no session takes messages.
bool voice_push(const uint8_t* message, int32_t length);
// On a library thread: hands the queued messages to the callback one by one, unless another
// thread is doing so already (that one then hands on these too).
void voice_deliver();
// Whether messages wait that no thread is handing on.
bool voice_waiting();
