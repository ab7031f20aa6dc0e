// The system's own driver calls, for the shipped DLL.
#include "usb/usb_driver.h"

const UsbDriver USB_DRIVER = {
    SetupDiGetClassDevsA,         SetupDiEnumDeviceInterfaces, SetupDiGetDeviceInterfaceDetailA,
    SetupDiDestroyDeviceInfoList, CreateFileA,                 DeviceIoControl,
};
