// The USB link of modes 3 and 4: the process's device client and its channel to pipe 0 of the
// process that owns the device. Windows only; elsewhere the modes start nothing.
#pragma once

#include "Services/svc_orma/svc_seq_orma.h"
#include "support/message.h"

#include <cstdint>

// Whether this system has the USB link. Where it has not, one console line says so.
bool ORMA_Usb_Available();
int32_t ORMA_Usb_Init(ReceiveCallback response_cb, ReceiveCallback notification_cb);
int32_t ORMA_Usb_Exit();
// The send function of modes 3 and 4: 1 when the record is done with (written, or dropped while
// the pipe is down), 0 when the write failed and it stays queued.
int32_t SendOverUsb(uint32_t context, SvcMsg* record);
// The command in flight was answered outside the USB link (0x85 at its response deadline): the
// link counts it as answered, so that it does not answer it once more when its pipe goes down.
void ORMA_Usb_AnsweredElsewhere();
// The library is being unloaded: every thread of the USB link is stopped.
void ORMA_Usb_Unload();
