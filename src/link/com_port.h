// The COM port transport: the link's byte stream over a serial port.
//
// Port n is the device "COMn" on Windows. Elsewhere it is /dev/COMn when such a device or
// symbolic link exists (a udev rule or a link can point it at a USB adapter) and /dev/ttyS(n-1)
// otherwise.
#pragma once

#include "link/link_ops.h"

#include <cstddef>
#include <cstdint>

// Makes the one COM port the table's context, stores the settings (parity and stop-bits codes as
// the Win32 device-control block has them) and enters its operations. Returns 0.
int com_install(LinkOps* ops, uint8_t port, uint32_t baud, uint8_t parity, uint8_t data_bits,
                uint8_t stop_bits);

// The one COM port's state, kept by the OS's backend.
void* com_context();

// The operations (the context is the one COM port).
int com_init(void* context, uint8_t port, uint32_t baud, uint8_t parity, uint8_t data_bits,
             uint8_t stop_bits);
int com_open(void* context);
int com_close(void* context);
int com_write(void* context, const uint8_t* bytes, int count);
int com_read(void* context, uint8_t* buffer, int max_count);
int com_read_timeout(void* context, uint8_t* buffer, int max_count, int timeout_ms);
int com_wake(void* context);

// The name of the device that port number `port` opens, written into `name` (zero-terminated).
void com_device_name(uint8_t port, char* name, size_t size);

// Test hook (POSIX only): every port opens `path` instead of its device, e.g. one end of a
// pseudo-terminal pair; null restores the normal device names. Not used by the library.
void com_set_device_override(const char* path);
