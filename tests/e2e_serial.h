// Points the COM transport's port 1 at the simulator's serial line for the end-to-end tests.
#pragma once

// Natively the library opens the given device path instead of its own; under Wine COM1 is
// mapped by the test runner and this does nothing. Null restores the normal device.
void e2e_use_serial_device(const char* path);
