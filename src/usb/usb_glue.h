// The USB link of modes 3 and 4: the process's device client and its channel to pipe 0 of the
// process that owns the device. Windows only; elsewhere the modes start nothing.
#pragma once

#include "support/message.h"
#include "support/options.h"

#include <cstdint>

// Whether this system has the USB link. Where it has not, one console line says so.
bool ORMA_Usb_Available();
// Starts the process's USB link. The messages that come back go to the callbacks by class; `lost`
// is told when the pipe to the owner goes down, before the host hears of it, and `up` when it is
// connected.
int32_t ORMA_Usb_Init(ReceiveCallback response_cb, ReceiveCallback notification_cb, void (*lost)(), void (*up)());
int32_t ORMA_Usb_Exit();
// Writes one host message to the pipe; false when it was not written (no pipe, or one that took
// nothing within its time-out, which is then given up).
bool ORMA_Usb_Send(const uint8_t* message, uint16_t length);
// Whether the USB modes refuse a host message of this length: one of 251 to 255 bytes does not fit
// one device block, and is split into several commands only with [ORMA_LINK] SplitLongMessages.
inline bool ORMA_Usb_Refuses(bool usb_mode, uint32_t length)
{
    constexpr uint32_t LONGEST = 250; // the message of the largest device block
    return usb_mode && length > LONGEST && !options_current().split_long_messages;
}
// The library is being unloaded: every thread of the USB link is stopped.
void ORMA_Usb_Unload();
// The library's code goes: the USB objects are taken down, once their threads have stopped and the
// link no longer uses them. Not called at the process's exit.
void ORMA_Usb_Release();
