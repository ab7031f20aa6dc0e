// The COM port transport: the link's byte stream over a serial port.
//
// Port n is the device "COMn" on Windows (written \\.\COMn from 10 up). On Linux it is the
// device named by the environment variable ORMA_COMn when that is set (a pseudo-terminal, say),
// else /dev/COMn when such a device or symbolic link exists (a udev rule or a link can point it
// at a USB adapter), else /dev/ttyS(n-1). A device name given instead of a number is opened as
// it stands (COM12 on Windows in the \\.\ form).
#pragma once

#include "link/link_ops.h"

#include <cstddef>
#include <cstdint>

// Line settings; the parity and stop-bits codes are those of the Win32 device-control block
// (parity 0 none, 1 odd, 2 even, 3 mark, 4 space; stop bits 0 one, 1 one and a half, 2 two).
struct ComSettings {
    uint8_t port;
    uint32_t baud;
    uint8_t parity;
    uint8_t data_bits;
    uint8_t stop_bits;
    char device[256]; // a device name, which the port number then does not choose; or empty
};

// Makes the one COM port the table's context, stores the settings and enters its operations.
// Returns 0.
int com_install(LinkOps* ops, uint8_t port, uint32_t baud, uint8_t parity, uint8_t data_bits,
                uint8_t stop_bits);
// The same for settings that may name the device.
int com_install_settings(LinkOps* ops, const ComSettings& settings);

// The settings that the next open of the one COM port asks for.
ComSettings com_settings();

// The name of the device that port number `port` opens, written into `name` (zero-terminated).
void com_device_name(uint8_t port, char* name, size_t size);
