// The USB link of modes 3 and 4: messages go through pipe 0 of the process that owns the device.
#pragma once

#include "Services/svc_orma/svc_seq_orma.h"
#include "support/message.h"

#include <cstdint>

int32_t ORMA_Usb_Init(ReceiveCallback response_cb, ReceiveCallback notification_cb);
int32_t ORMA_Usb_Exit();
// The library is being unloaded: every thread of the USB link is stopped.
void ORMA_Usb_Unload();
// The send function of modes 3 and 4: 1 when the record is done with, 0 when it stays queued.
int32_t SendOverUsb(uint32_t context, SvcMsg* record);
