// The USB link of modes 3 and 4: the process's device client and its channel to pipe 0 of the
// process that owns the device. Windows only; elsewhere the modes start nothing.
#pragma once

#include "Services/svc_orma/svc_seq_orma.h"
#include "support/message.h"
#include "support/options.h"

#include <cstdint>

// Whether this system has the USB link. Where it has not, one console line says so.
bool ORMA_Usb_Available();
int32_t ORMA_Usb_Init(ReceiveCallback response_cb, ReceiveCallback notification_cb);
int32_t ORMA_Usb_Exit();
// The send function of modes 3 and 4: always done with the record. A message that is not written
// to the pipe (no pipe, or one that takes nothing within its time-out) is answered by 0x85.
int32_t SendOverUsb(uint32_t context, SvcMsg* record);
// The command in flight was answered outside the USB link (0x85 at its response deadline): the
// link counts it as answered, so that it does not answer it once more when its pipe goes down.
void ORMA_Usb_AnsweredElsewhere();
// Whether modes 3 and 4 refuse a host message of this length: one of 251 to 255 bytes does not fit
// one device block, and is split into several commands only with [ORMA_LINK] SplitLongMessages.
inline bool ORMA_Usb_Refuses(int32_t mode, uint32_t length)
{
    constexpr uint32_t LONGEST = 250; // the message of the largest device block
    return (mode == 3 || mode == 4) && length > LONGEST && !options_current().split_long_messages;
}
// The library is being unloaded: every thread of the USB link is stopped.
void ORMA_Usb_Unload();
