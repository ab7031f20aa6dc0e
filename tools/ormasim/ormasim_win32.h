// The Windows build of ormasim has two roles in one program: the USB device (--usb, and the
// --control client of a running device) and the TCP server (the default, as in the Linux build).
#pragma once

#include <cstring>

// The TCP role's program: options, server, exit status.
int ormasim_tcp_main(int argc, char** argv);

// Whether the command line asks for the USB role.
inline bool ormasim_usb_role(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--usb") == 0 || std::strncmp(argv[i], "--control", 9) == 0)
            return true;
    return false;
}
