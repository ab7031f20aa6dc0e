// Placeholder until the USB link lands: no device, every message is dropped as if the pipe to
// the owning process were not connected.
#include "usb/usb_glue.h"

int32_t ORMA_Usb_Init(ReceiveCallback, ReceiveCallback)
{
    return 0;
}

int32_t ORMA_Usb_Exit()
{
    return 0;
}

int32_t SendOverUsb(uint32_t, SvcMsg*)
{
    return 1;
}

void ORMA_Usb_Unload() {}
