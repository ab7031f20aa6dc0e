// The COM port transport: its settings, the order in which a port is opened and closed, and its
// operation table. The system calls are the backend's (com_os.h).
#include "link/com_port.h"

#include "link/com_os.h"

#include <atomic>

namespace {

struct ComPort {
    ComSettings settings{1, 115200, 2, 8, 2, {}};
    std::atomic<uint16_t> open{0}; // 1 after a successful open, until the close
};

ComPort g_com;

ComPort* port_of(void* context)
{
    return static_cast<ComPort*>(context);
}

int com_init(void* context, const ComSettings& settings)
{
    ComPort* com = port_of(context);
    com->settings = settings;
    com->open = 0;
    return 0;
}

int com_open(void* context)
{
    ComPort* com = port_of(context);
    com->open = 0;
    ComOs* os = com_os_port();
    com_os_close(os); // an earlier open whose settings were refused left the port open
    char name[300];
    if (com->settings.device[0])
        com_os_named_device(com->settings.device, name, sizeof name);
    else
        com_os_device_name(com->settings.port, name, sizeof name);
    if (!com_os_open(os, name))
        return LINK_FAILED;
    if (!com_os_configure(os, com->settings))
        return LINK_REFUSED_SETTINGS;
    com->open = 1;
    return LINK_OK;
}

int com_close(void* context)
{
    com_os_close(com_os_port());
    port_of(context)->open = 0;
    return LINK_OK;
}

int com_write(void* context, const uint8_t* bytes, int count, int limit_ms)
{
    if (!port_of(context)->open)
        return LINK_FAILED;
    return com_os_write(com_os_port(), bytes, count, limit_ms);
}

int com_read(void* context, uint8_t* buffer, int max_count)
{
    if (max_count < 1)
        return 0;
    if (!port_of(context)->open)
        return LINK_FAILED;
    // Without a limit a read has one failure: the line is gone.
    const int n = com_os_read(com_os_port(), buffer, max_count, LINK_WAIT_FOREVER);
    return n < 0 ? LINK_FAILED : n;
}

int com_read_timeout(void* context, uint8_t* buffer, int max_count, int timeout_ms)
{
    if (max_count < 1)
        return 0;
    if (!port_of(context)->open)
        return LINK_FAILED;
    return com_os_read(com_os_port(), buffer, max_count, timeout_ms < 0 ? 0 : timeout_ms);
}

int com_wake(void*)
{
    com_os_wake(com_os_port());
    return 0;
}

} // namespace

int com_install(LinkOps* ops, uint8_t port, uint32_t baud, uint8_t parity, uint8_t data_bits, uint8_t stop_bits)
{
    return com_install_settings(ops, ComSettings{port, baud, parity, data_bits, stop_bits, {}});
}

int com_install_settings(LinkOps* ops, const ComSettings& settings)
{
    *ops = LinkOps{&g_com, com_open, com_close, com_write, com_read, com_read_timeout, com_wake};
    com_init(&g_com, settings);
    return 0;
}

ComSettings com_settings()
{
    return g_com.settings;
}

void com_device_name(uint8_t port, char* name, size_t size)
{
    com_os_device_name(port, name, size);
}
