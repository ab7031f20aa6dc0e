// Modes 3 and 4 on Windows: the two USB objects of the process, built when the library loads,
// and the start, stop and send function that the host interface uses.
#include "usb/usb_glue.h"

#include "io/worker_thread.h"
#include "usb/device_client.h"
#include "usb/host_channel.h"

#include <memory>
#include <new>
#include <utility>

namespace {

constexpr int32_t RECONNECT_MS = 300;
constexpr DWORD VERSIONS_AFTER_MS = 100;
constexpr DWORD UNLOAD_BOUND_MS = 2000;

// Built at load in this order, the device client first; no device is touched and no thread runs
// until ORMA_Usb_Init. They are taken down only when the library is freed while the process goes
// on, never at the process's exit: there the system has ended their threads wherever they were, and
// their destructors would wait for threads that never say they have left, or for a lock one of them
// held.
struct UsbObjects {
    CcClient device;
    HostCommandChannel channel;
};
alignas(UsbObjects) unsigned char g_store[sizeof(UsbObjects)];
UsbObjects* g_usb = new (g_store) UsbObjects;
CcClient& g_device = g_usb->device;
HostCommandChannel& g_channel = g_usb->channel;

} // namespace

bool ORMA_Usb_Available()
{
    return true;
}

int32_t ORMA_Usb_Init(ReceiveCallback response_cb, ReceiveCallback notification_cb, void (*lost)(), void (*up)())
{
    g_channel.SetCallbacks(response_cb, notification_cb, lost, up);
    g_device.StopThread();
    g_device.SetTraceFlags(0);
    g_device.PipeThread().SetSplitLongMessages(options_current().split_long_messages);
    g_device.Start(RECONNECT_MS);
    Sleep(VERSIONS_AFTER_MS);
    g_device.ShowUsbVersions();
    g_channel.SelectPipe(0);
    g_channel.Start(RECONNECT_MS); // the channel's own step keeps its own timing
    return 0;
}

int32_t ORMA_Usb_Exit()
{
    // The owner goes on reading its device until the library is unloaded: the answers to the
    // processes it still serves through its pipes come that way. A process without the device
    // stops trying to open it.
    if (g_device.PipeHandle() == INVALID_HANDLE_VALUE)
        g_device.StopThread();
    g_channel.StopThread();
    g_channel.Close(); // without a notification
    // The device and the owner's pipes stay: other processes go on through them.
    return 0;
}

bool ORMA_Usb_Send(const uint8_t* message, uint16_t length)
{
    return g_channel.Send(message, length);
}

void ORMA_Usb_Unload()
{
    ThreadRecord::StopAll(UNLOAD_BOUND_MS);
}

void ORMA_Usb_Release()
{
    if (UsbObjects* const usb = std::exchange(g_usb, nullptr))
        std::destroy_at(usb);
}
