// A small TCP peer for the link tests, over the platform's sockets (loopback only).
#pragma once

#include <cstdint>
#include <vector>

namespace testsock {

using Socket = intptr_t;
constexpr Socket NONE = -1;

bool init();
// Listens on 127.0.0.1; port 0 takes a free one. The port is written back.
Socket listen_loopback(uint16_t* port, int backlog = 5);
// Starts a connection to 127.0.0.1 without waiting for it to be made.
Socket connect_loopback(uint16_t port);
// What arrives within the limit (empty when nothing does).
std::vector<uint8_t> receive_some(Socket s, int timeout_ms);
// NONE when no peer connected within the limit.
Socket accept_one(Socket listener, int timeout_ms);
bool send_all(Socket s, const std::vector<uint8_t>& bytes);
void close(Socket s);
// A port on which nobody listens at this moment.
uint16_t free_port();

} // namespace testsock
