// The COM port's operation table, filled the same way on every OS.
#include "link/com_port.h"

int com_install(LinkOps* ops, uint8_t port, uint32_t baud, uint8_t parity, uint8_t data_bits, uint8_t stop_bits)
{
    ops->context = com_context();
    com_init(ops->context, port, baud, parity, data_bits, stop_bits);
    ops->open = com_open;
    ops->close = com_close;
    ops->write = com_write;
    ops->read = com_read;
    ops->read_timeout = com_read_timeout;
    ops->wake = com_wake;
    return 0;
}
