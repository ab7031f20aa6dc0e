// ormactl on Windows: the library offers every mode, and port n of mode 1 is always COMn.
#include "platform.h"

bool platform_mode_available(int mode, std::string&)
{
    return mode >= 1 && mode <= 4;
}

ComPort platform_com_port(int port)
{
    return ComPort{"COM" + std::to_string(port), "", ""};
}

bool platform_set_com_device(int, const std::string&, std::string& error)
{
    error = "--device is for Linux: on Windows port n is always COMn and the library reads no environment "
            "variable; give the device that name in the Device Manager (under Wine: HKLM\\Software\\Wine\\Ports)";
    return false;
}
