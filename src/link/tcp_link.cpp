// The TCP link's operation table, filled the same way on every OS.
#include "link/tcp_link.h"

int tcp_install(LinkOps* ops, const char* address, uint16_t port, int32_t role)
{
    ops->context = tcp_context();
    tcp_init(ops->context, address, port, role);
    ops->open = tcp_open;
    ops->close = tcp_close;
    ops->write = tcp_send;
    ops->read = tcp_recv;
    ops->read_timeout = tcp_recv_timeout;
    ops->wake = tcp_wake;
    return 0;
}
