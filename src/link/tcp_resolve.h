// The resolver's part that both sockets backends share. Included by a backend after its own system
// headers: getaddrinfo, freeaddrinfo and addrinfo have the same names and meaning in both.
#pragma once

#include "link/tcp_os.h"

#include <cstdio>
#include <cstring>

// The first address of the name or address text; false with the resolver's code in *error, or
// with `too_long` when the address does not fit the peer's record.
inline bool tcp_resolve_first(const char* host, uint16_t port, TcpOsPeer* peer, int* error, int too_long)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo* found = nullptr;
    *error = getaddrinfo(host, service, &hints, &found);
    if (*error != 0)
        return false;
    const bool fits = found->ai_addrlen <= sizeof peer->address;
    if (fits) {
        std::memcpy(peer->address, found->ai_addr, found->ai_addrlen);
        peer->length = static_cast<int>(found->ai_addrlen);
        peer->family = found->ai_family;
    }
    freeaddrinfo(found);
    *error = fits ? 0 : too_long;
    return fits;
}
