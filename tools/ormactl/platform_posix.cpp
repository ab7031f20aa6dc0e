// ormactl on Linux: the library offers modes 1 and 2. Port n of mode 1 is the device named by
// ORMA_COM<n>, else /dev/COMn when it exists, else /dev/ttyS(n-1).
#include "platform.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

bool platform_mode_available(int mode, std::string& why)
{
    if (mode == 1 || mode == 2)
        return true;
    why = "modes 3 and 4 (USB) exist only in the Windows build of the library; use mode 1 (serial) or 2 (TCP)";
    return false;
}

namespace {
std::string variable(int port)
{
    return "ORMA_COM" + std::to_string(port);
}
} // namespace

ComPort platform_com_port(int port)
{
    ComPort p;
    const std::string name = variable(port);
    const std::string com = "/dev/COM" + std::to_string(port);
    if (const char* set = std::getenv(name.c_str()); set && *set) {
        p.device = set;
        p.reason = name + " is set";
    } else if (access(com.c_str(), F_OK) == 0) {
        p.device = com;
        p.reason = com + " exists";
    } else {
        p.device = "/dev/ttyS" + std::to_string(port - 1);
        p.reason = "no " + name + ", no " + com;
    }
    if (access(p.device.c_str(), R_OK | W_OK) != 0) {
        p.problem = std::strerror(errno);
        if (errno == EACCES)
            p.problem += " (join the device's group, often dialout, or choose another device with --device)";
    }
    return p;
}

bool platform_set_com_device(int port, const std::string& path, std::string& error)
{
    if (setenv(variable(port).c_str(), path.c_str(), 1) == 0)
        return true;
    error = std::strerror(errno);
    return false;
}

bool platform_can_write(const std::string& path)
{
    return access(path.c_str(), W_OK) == 0;
}
