// How the device client reaches the receiver's USB driver (Windows only): the SetupAPI calls that
// find the device interface, the open of the device, and the device-control call, as one table in
// the manner of an OS backend table. The build links exactly one table: the system's own
// (usb_driver_win32.cpp) in the shipped DLL, or the one that reaches the simulated device
// (usb_driver_simdev_win32.cpp) in the separate test build of the same sources. Reads and writes
// use the opened handle as usual.
#pragma once

#include <windows.h>
#include <setupapi.h>

struct UsbDriver {
    HDEVINFO(WINAPI* get_class_devs)(const GUID* guid, PCSTR enumerator, HWND parent, DWORD flags);
    BOOL(WINAPI* enum_interfaces)(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* guid, DWORD index,
                                  PSP_DEVICE_INTERFACE_DATA data);
    BOOL(WINAPI* get_interface_detail)(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                       PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detail_size,
                                       PDWORD required_size, PSP_DEVINFO_DATA device);
    BOOL(WINAPI* destroy_info_list)(HDEVINFO set);
    HANDLE(WINAPI* create_file)(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE template_file);
    BOOL(WINAPI* device_io_control)(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                                    DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped);
};

// The table this build links.
extern const UsbDriver USB_DRIVER;

// The receiver's device interface class and the driver's control codes (device type
// FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr GUID USB_INTERFACE_GUID = {0xB7AA4035, 0x5D4B, 0x4907, {0x91, 0x75, 0x89, 0x1B, 0x82, 0x7E, 0x2E, 0x09}};
constexpr DWORD USB_IOCTL_SEND_BLOCK = 0x220028;        // function 10: one block to the device
constexpr DWORD USB_IOCTL_DRIVER_VERSION = 0x22001C;    // function 7
constexpr DWORD USB_IOCTL_DEVICE_LIBRARY = 0x220018;    // function 6
constexpr DWORD USB_IOCTL_INTERFACE_LIBRARY = 0x220014; // function 5
constexpr char USB_DEVICE_PIPE[] = "PIPE00";
