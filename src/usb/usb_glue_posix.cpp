// Modes 3 and 4 need the Windows USB driver and named pipes: here they start nothing.
#include "usb/usb_glue.h"

#include "support/console.h"

bool ORMA_Usb_Available()
{
    console_print(ConsoleStream::Err, "ORMA_DLL: modes 3 and 4 (USB) need Windows; no link is started.\n");
    return false;
}

int32_t ORMA_Usb_Init(ReceiveCallback, ReceiveCallback, void (*)(), void (*)())
{
    return 0;
}

int32_t ORMA_Usb_Exit()
{
    return 0;
}

bool ORMA_Usb_Send(const uint8_t*, uint16_t)
{
    return false;
}

void ORMA_Usb_Unload() {}

void ORMA_Usb_Release() {}
