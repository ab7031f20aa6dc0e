#include "e2e_serial.h"

#include "link/com_port.h"

void e2e_use_serial_device(const char* path)
{
    com_set_device_override(path && *path ? path : nullptr);
}
