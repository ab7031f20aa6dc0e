// The socket calls of the TCP transport, one implementation per OS (tcp_link_win32.cpp over
// Windows Sockets 2, tcp_link_posix.cpp over BSD sockets). The roles, the sequence and the
// console lines are in tcp_link.cpp; these only do, and report the system's error code.
#pragma once

#include <cstdint>

struct TcpOs; // the sockets and the wake mechanism

// Results of tcp_os_recv besides a positive count.
enum TcpOsRecv : int {
    TCP_OS_CLOSED = 0,       // the peer closed the connection
    TCP_OS_TIMEOUT = -1,     // the limit passed without data
    TCP_OS_WOKEN = -2,       // the link was woken (no line is printed for it)
    TCP_OS_RECV_FAILED = -3, // receiving failed: error set
    TCP_OS_WAIT_FAILED = -4, // waiting for data failed: error set
};

TcpOs* tcp_os_link();
// The dotted IPv4 text as an address in network order (as inet_addr gives it), and back.
uint32_t tcp_os_address(const char* dotted);
void tcp_os_address_text(uint32_t address, char* text, int size);

// A peer's address as the system gives it: IPv4 or IPv6.
struct TcpOsPeer {
    alignas(8) unsigned char address[128];
    int length = 0;
    int family = 0;
};

// Starts the sockets layer; 0 or the layer's error code (Windows Sockets' WSAStartup).
int tcp_os_startup(TcpOs* os);
// The first address of a name or of an IPv4 or IPv6 address text; false with the resolver's code
// in *error.
bool tcp_os_resolve(const char* host, uint16_t port, TcpOsPeer* peer, int* error);
// Each returns false on failure; tcp_os_error() then gives the system's code.
// A socket of the family (0: IPv4).
bool tcp_os_socket(TcpOs* os, int family);
bool tcp_os_bind(TcpOs* os, uint32_t address, uint16_t port);
bool tcp_os_listen(TcpOs* os, int backlog);
bool tcp_os_accept(TcpOs* os, uint32_t* peer_address, uint16_t* peer_port); // the data socket
// data socket = primary; bounded, and ended by a wake
bool tcp_os_connect(TcpOs* os, const TcpOsPeer& peer);
int tcp_os_error();
// Closes both sockets, stops the sockets layer and clears a wake.
void tcp_os_shutdown(TcpOs* os);

// Sends all the bytes on the data socket, waiting at most limit_ms in all for a peer that does
// not read, and ending at once when the link is woken: the count, or TCP_OS_WOKEN, or -1 with
// the code in *error (the peer's, or the system's code for a time-out).
int tcp_os_send(TcpOs* os, const uint8_t* bytes, int count, int limit_ms, int* error);
// One receive on the data socket after waiting at most timeout_ms (LINK_WAIT_FOREVER: no limit):
// a positive count or a TcpOsRecv, with the code in *error for the two failures.
int tcp_os_recv(TcpOs* os, uint8_t* buffer, int max_count, int timeout_ms, int* error);
// Makes a wait for data, a connect in progress, and every later one until the next shutdown,
// end at once. Safe from any thread at any time.
void tcp_os_wake(TcpOs* os);
