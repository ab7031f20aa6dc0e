// The driver table of the test build (bin/simdev/ORMA_DLL.dll and the test core): it reaches the
// simulated device that `ormasim --usb` plays (tools/ormasim) in place of the receiver's driver.
// The shipped DLL never links this file.
//
// The simulator answers one request per message on its control pipe: "ENUM" lists the paths of
// its interfaces, one per line (none while it is unplugged); "OPEN i" says "ok" when interface i
// opens; "VERSION code selector" gives a version reply after "=", or "!". The data channel of
// interface i is the single-instance message pipe DATA_PIPE followed by i: one block per read, one
// block per write, one holder at a time. Without a simulator the enumeration finds nothing.
#include "usb/usb_driver.h"
#include "usb/usb_driver_simdev.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr char CONTROL_PIPE[] = "\\\\.\\pipe\\ormasim_usb";
constexpr char DATA_PIPE[] = "\\\\.\\pipe\\ormasim_usb_dev";
constexpr char PATH_PREFIX[] = "\\\\?\\ormasim#usb#"; // then the interface index
constexpr DWORD CONTROL_WAIT_MS = 2000;
constexpr size_t REPLY_SIZE = 4096;

std::atomic<DWORD> g_interface_data_size{0};
std::atomic<DWORD> g_detail_size{0};

// A device information set: the interface paths that the simulator listed.
struct InterfaceSet {
    std::vector<std::string> paths;
};

HANDLE connect_control()
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const HANDLE control = CreateFileA(CONTROL_PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (control != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(control, &mode, nullptr, nullptr);
            return control;
        }
        // All instances busy for a moment: the simulator makes the next one.
        if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeA(CONTROL_PIPE, CONTROL_WAIT_MS))
            break;
    }
    return INVALID_HANDLE_VALUE;
}

bool transact(HANDLE control, const std::string& request, std::string& reply)
{
    char buffer[REPLY_SIZE];
    DWORD n = 0;
    if (!WriteFile(control, request.data(), static_cast<DWORD>(request.size()), &n, nullptr) ||
        !ReadFile(control, buffer, sizeof buffer, &n, nullptr))
        return false;
    reply.assign(buffer, n);
    return true;
}

// One request on a connection of its own; the last error is kept for the caller.
bool ask(const std::string& request, std::string& reply)
{
    const HANDLE control = connect_control();
    if (control == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = transact(control, request, reply);
    CloseHandle(control);
    return ok;
}

// The interface index of a path the simulator listed, or -1; `pipe` points behind the
// interface path's last "\", or is null for the interface itself.
int interface_of(const char* name, const char*& pipe)
{
    const size_t prefix = sizeof PATH_PREFIX - 1;
    if (!name || std::strncmp(name, PATH_PREFIX, prefix) != 0)
        return -1;
    const char* last = std::strrchr(name, '\\');
    pipe = last >= name + prefix ? last + 1 : nullptr;
    return std::atoi(name + prefix);
}

HDEVINFO WINAPI get_class_devs(const GUID* guid, PCSTR, HWND, DWORD flags)
{
    auto* set = new (std::nothrow) InterfaceSet;
    if (!set) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    std::string list;
    if (guid && std::memcmp(guid, &USB_INTERFACE_GUID, sizeof *guid) == 0 && (flags & DIGCF_DEVICEINTERFACE) &&
        ask("ENUM", list)) {
        for (size_t at = 0, end; (end = list.find('\n', at)) != std::string::npos; at = end + 1)
            set->paths.push_back(list.substr(at, end - at));
    }
    return set;
}

BOOL WINAPI enum_interfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                            PSP_DEVICE_INTERFACE_DATA data)
{
    const auto* s = static_cast<const InterfaceSet*>(set);
    if (data)
        g_interface_data_size = data->cbSize;
    if (!s || !guid || !data || data->cbSize != sizeof *data) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (index >= s->paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = *guid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index;
    return TRUE;
}

BOOL WINAPI get_interface_detail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                 DWORD detail_size, PDWORD required_size, PSP_DEVINFO_DATA)
{
    const auto* s = static_cast<const InterfaceSet*>(set);
    if (!s || !data || data->Reserved >= s->paths.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string& path = s->paths[data->Reserved];
    const auto required = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required_size)
        *required_size = required;
    if (detail)
        g_detail_size = detail->cbSize;
    if (detail && detail->cbSize != sizeof *detail) { // the size of the fixed part, as the system insists
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!detail || detail_size < required) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL WINAPI destroy_info_list(HDEVINFO set)
{
    delete static_cast<InterfaceSet*>(set);
    return TRUE;
}

HANDLE WINAPI create_file(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                          DWORD flags, HANDLE template_file)
{
    const char* pipe = nullptr;
    const int index = interface_of(name, pipe);
    if (index < 0)
        return CreateFileA(name, access, share, security, disposition, flags, template_file);
    if (pipe) { // the device's data channel, read one block at a time
        if (std::strcmp(pipe, "PIPE00") != 0) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        const std::string data = DATA_PIPE + std::to_string(index);
        const HANDLE device = CreateFileA(data.c_str(), access, share, security, disposition, flags, template_file);
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (device != INVALID_HANDLE_VALUE)
            SetNamedPipeHandleState(device, &mode, nullptr, nullptr);
        return device;
    }
    // The interface itself, as the enumeration tests it: a connection to the simulator stands for
    // the open device.
    const HANDLE control = connect_control();
    std::string reply;
    if (control != INVALID_HANDLE_VALUE && transact(control, "OPEN " + std::to_string(index), reply) && reply == "ok")
        return control;
    if (control != INVALID_HANDLE_VALUE)
        CloseHandle(control);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

// A request done at once completes the caller's overlapped block as the system does: status,
// byte count and event, so that GetOverlappedResult reports it.
BOOL complete_at_once(LPOVERLAPPED overlapped, LPDWORD returned, DWORD count)
{
    if (returned)
        *returned = count;
    if (overlapped) {
        overlapped->Internal = 0; // STATUS_SUCCESS
        overlapped->InternalHigh = count;
        if (overlapped->hEvent)
            SetEvent(overlapped->hEvent);
    }
    return TRUE;
}

BOOL WINAPI device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                              LPDWORD returned, LPOVERLAPPED overlapped)
{
    if (code == USB_IOCTL_SEND_BLOCK) // the block is one message of the data channel
        return WriteFile(device, in, in_size, returned, overlapped);
    const bool version =
        code == USB_IOCTL_DRIVER_VERSION || code == USB_IOCTL_DEVICE_LIBRARY || code == USB_IOCTL_INTERFACE_LIBRARY;
    if (!version) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    std::string reply;
    uint16_t selector = 0;
    if (in && in_size == sizeof selector && out) {
        std::memcpy(&selector, in, sizeof selector);
        char request[40];
        std::snprintf(request, sizeof request, "VERSION %lx %u", code, static_cast<unsigned>(selector));
        if (ask(request, reply) && !reply.empty() && reply[0] == '=') {
            const DWORD count = static_cast<DWORD>(std::min<size_t>(reply.size() - 1, out_size));
            std::memcpy(out, reply.data() + 1, count);
            return complete_at_once(overlapped, returned, count);
        }
    }
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
}

} // namespace

UsbSimdevRecordSizes usb_simdev_record_sizes()
{
    return {g_interface_data_size, g_detail_size};
}

const UsbDriver USB_DRIVER = {
    get_class_devs, enum_interfaces, get_interface_detail, destroy_info_list, create_file, device_io_control,
};
