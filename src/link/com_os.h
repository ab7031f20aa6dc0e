// The system calls of the COM port transport, one implementation per OS (com_port_win32.cpp,
// com_port_posix.cpp). The sequence of the transport is in com_port.cpp; these only do.
#pragma once

#include "link/com_port.h"

#include <cstddef>
#include <cstdint>

struct ComOs; // the backend's handles and events

ComOs* com_os_port();
void com_os_device_name(uint8_t port, char* name, size_t size);
// The name to open for a device name given by the user.
void com_os_named_device(const char* given, char* name, size_t size);
// Opens the device for reading and writing, unshared; false when it cannot be had.
bool com_os_open(ComOs* os, const char* name);
// Applies the settings (no flow control, RTS raised, DTR lowered) and prepares the transfers;
// false when the port refuses them. The port stays open either way.
bool com_os_configure(ComOs* os, const ComSettings& settings);
// Ends the transfers and closes the device; safe when it is not open.
void com_os_close(ComOs* os);
// Bytes written, LINK_FAILED or LINK_INCOMPLETE.
int com_os_write(ComOs* os, const uint8_t* bytes, int count, int limit_ms);
// Bytes read (at least one), LINK_TIMEOUT when the limit (LINK_WAIT_FOREVER: none) passed,
// LINK_FAILED when the line failed or was woken, LINK_INCOMPLETE or LINK_WAIT_FAILED.
int com_os_read(ComOs* os, uint8_t* buffer, int max_count, int timeout_ms);
// Makes a waiting read, and every later one until the next close, return LINK_FAILED. Safe from
// any thread while the port is opened or closed.
void com_os_wake(ComOs* os);
