// The BSD sockets under link_sock.cpp.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsock::os {
using Native = int;
using AddressLength = socklen_t;
constexpr int SEND_FLAGS = MSG_NOSIGNAL; // a closed peer fails the send instead of a signal
inline bool start()
{
    return true;
}
inline void close(Native s)
{
    ::close(s);
}
inline void set_nonblocking(Native s)
{
    ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
}
} // namespace testsock::os
