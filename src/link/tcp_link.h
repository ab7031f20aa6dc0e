// The TCP transport: the link's byte stream over one TCP connection, as client or as server.
#pragma once

#include "link/link_ops.h"

#include <cstdint>

constexpr int32_t TCP_ROLE_CLIENT = 0;
constexpr int32_t TCP_ROLE_SERVER = 1; // binds, listens and accepts one connection

constexpr uint16_t TCP_DEFAULT_PORT = 5002;
constexpr const char* TCP_DEFAULT_ADDRESS = "127.0.0.1";

// Makes the one TCP link the table's context and enters its operations. Without address text
// the client connects to 127.0.0.1 and the server listens on 127.0.0.1 (loopback only).
// The port is in host byte order. Returns 0.
int tcp_install(LinkOps* ops, const char* address, uint16_t port, int32_t role);
