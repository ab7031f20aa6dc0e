// What ormactl does differently per OS: which modes the library offers here, and which device
// port n of mode 1 opens, whether a file can be written.
#pragma once

#include <string>

// False, with the reason, for a mode that the library of this system cannot use.
bool platform_mode_available(int mode, std::string& why);

struct ComPort {
    std::string device;  // what the library opens for the port
    std::string reason;  // why that device ("ORMA_COM1 is set", ...); empty when fixed
    std::string problem; // why it will not open, when that is known beforehand
};
ComPort platform_com_port(int port);

// Points port n of mode 1 at `path` for the library of this process; false with the reason
// where the system has no such rule.
bool platform_set_com_device(int port, const std::string& path, std::string& error);

// True when this process may create or replace files in the folder (or write the file).
bool platform_can_write(const std::string& path);
