// Windows Sockets under link_sock.cpp.
#pragma once

#include <winsock2.h>

namespace testsock::os {
using Native = SOCKET;
using AddressLength = int;
constexpr int SEND_FLAGS = 0;
inline bool start() // once for the whole test program, never stopped
{
    WSADATA wsa;
    return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
}
inline void close(Native s)
{
    closesocket(s);
}
inline void set_nonblocking(Native s)
{
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}
} // namespace testsock::os
