// ormactl on Windows: the library offers every mode, and port n of mode 1 is always COMn.
#include "platform.h"

#include <windows.h>

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

bool platform_can_write(const std::string& path)
{
    // Windows keeps no write bit on folders; a file may be read-only.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) || !(attributes & FILE_ATTRIBUTE_READONLY);
}
