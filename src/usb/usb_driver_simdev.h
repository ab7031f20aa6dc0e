// What the test build's driver table saw of the library's SetupAPI calls, for tests: the size
// fields of the last interface data record and of the last detail record handed to it (0 before
// any). The system checks them against the sizes of its own architecture.
#pragma once

#include <windows.h>

struct UsbSimdevRecordSizes {
    DWORD interface_data;
    DWORD detail;
};

UsbSimdevRecordSizes usb_simdev_record_sizes();
