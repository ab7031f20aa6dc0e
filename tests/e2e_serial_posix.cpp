#include "e2e_serial.h"

#include <cstdlib>

void e2e_use_serial_device(const char* path)
{
    if (path && *path)
        setenv("ORMA_COM1", path, 1);
    else
        unsetenv("ORMA_COM1");
}
