#include "usb/device_client.h"

#include "io/trace.h"
#include "support/console.h"
#include "usb/device_block.h"
#include "usb/usb_driver.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t PIPE_BUFFER_SIZE = 10240;
constexpr int32_t DEVICE_RECONNECT_MS = 300;
constexpr DWORD PIPE_WAIT_MS = 5000;
constexpr size_t PATH_SIZE = 256;
constexpr DWORD MAX_INTERFACES = 256; // an enumeration that keeps failing ends here
constexpr size_t VERSION_SIZE = 64;

void print_wait_failure(const char* what)
{
    const DWORD error = GetLastError();
    console_print(ConsoleStream::Out, "NamedPipeThread WaitForMultipleObjects() FAILED, got %s: lastError %#x / %d\n",
                  what, static_cast<unsigned>(error), static_cast<int>(error));
}

// Whether the device opens with this path (the handle is closed again at once).
bool device_opens(const char* path)
{
    const HANDLE device = USB_DRIVER.create_file(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(device);
    return true;
}

// The device path of one interface, if it fits the path buffer and the device opens with it.
bool interface_opens(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, char (&path)[PATH_SIZE])
{
    DWORD required = 0;
    USB_DRIVER.get_interface_detail(set, data, nullptr, 0, &required, nullptr);
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(required ? std::malloc(required) : nullptr);
    if (!detail)
        return false;
    // The record's size field is the size of its fixed part (5 bytes for 32-bit programs).
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    bool fits = false;
    if (required > offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) &&
        USB_DRIVER.get_interface_detail(set, data, detail, required, nullptr, nullptr)) {
        const size_t room = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        const size_t length = strnlen(detail->DevicePath, room);
        fits = length < PATH_SIZE;
        if (fits)
            std::memcpy(path, detail->DevicePath, length + 1);
    }
    std::free(detail);
    return fits && device_opens(path);
}

// The path of the interface to use: the one of the index when it opens, else the first that
// opens; and it must open once more.
bool find_interface(const GUID& guid, int index, char (&path)[PATH_SIZE])
{
    const HDEVINFO set = USB_DRIVER.get_class_devs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    char first[PATH_SIZE] = "";
    bool chosen = false;
    for (DWORD i = 0; i < MAX_INTERFACES && !chosen; ++i) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data; // 28 bytes for 32-bit programs
        if (USB_DRIVER.enum_interfaces(set, nullptr, &guid, i, &data)) {
            char candidate[PATH_SIZE];
            if (!interface_opens(set, &data, candidate))
                continue;
            if (!first[0])
                std::memcpy(first, candidate, sizeof first);
            if (static_cast<int>(i) == index) {
                std::memcpy(path, candidate, sizeof candidate);
                chosen = true;
            }
        } else if (GetLastError() == ERROR_NO_MORE_ITEMS) {
            if (first[0]) {
                std::memcpy(path, first, sizeof first);
                chosen = true;
            }
            break;
        }
    }
    USB_DRIVER.destroy_info_list(set);
    return chosen && device_opens(path);
}

} // namespace

HANDLE OpenDevicePipe(const GUID& guid, int index, const char* pipe_name, DWORD flags)
{
    char path[PATH_SIZE] = "";
    if (!find_interface(guid, index, path))
        return INVALID_HANDLE_VALUE;
    const size_t length = std::strlen(path);
    if (length + 1 + std::strlen(pipe_name) > PATH_SIZE - 1)
        return INVALID_HANDLE_VALUE;
    path[length] = '\\';
    std::strcpy(path + length + 1, pipe_name);
    const HANDLE pipe = USB_DRIVER.create_file(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               nullptr, OPEN_EXISTING, flags, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        console_print(ConsoleStream::Out, "Failed to open3 (%s) LastError:  %#x / %d", path,
                      static_cast<unsigned>(error), static_cast<int>(error));
    }
    return pipe;
}

NamedPipeThread::~NamedPipeThread()
{
    StopThread(); // its hooks use the instances
}

void NamedPipeThread::Init(PipeOwner* owner, uint32_t buffer_size)
{
    mOwner = owner;
    for (int i = 0; i < PIPE_NUMBER_COUNT; ++i)
        mPipes[i].Init(owner, i, buffer_size, buffer_size);
}

void NamedPipeThread::OnThreadStart()
{
    for (int i = 0; i < PIPE_NUMBER_COUNT; ++i) {
        mPipes[i].Create();
        mEvents[i] = mPipes[i].GetEvent();
    }
}

uint32_t NamedPipeThread::ThreadStep()
{
    // The wait prefers the first handle signalled: the instances after the last one served come
    // first, so that no client's traffic holds the others back.
    HANDLE events[PIPE_NUMBER_COUNT];
    for (int i = 0; i < PIPE_NUMBER_COUNT; ++i)
        events[i] = mEvents[(mNext + i) % PIPE_NUMBER_COUNT];
    const DWORD got = StoppableWait(PIPE_NUMBER_COUNT, events, PIPE_WAIT_MS);
    if (got == WAIT_TIMEOUT || got == WAIT_STOPPED)
        return 0;
    if (got == WAIT_FAILED) {
        print_wait_failure("WAIT_FAILED");
        return 0;
    }
    if (got >= WAIT_OBJECT_0 + PIPE_NUMBER_COUNT) {
        print_wait_failure("UNKNOWN");
        return 0;
    }
    const int pipe = static_cast<int>((mNext + got - WAIT_OBJECT_0) % PIPE_NUMBER_COUNT);
    mNext = (pipe + 1) % PIPE_NUMBER_COUNT;
    return mPipes[pipe].CheckOverlappedResult();
}

void NamedPipeThread::OnThreadEnd()
{
    for (CcNamedPipe& pipe : mPipes)
        pipe.Close();
}

void NamedPipeThread::SetSplitLongMessages(bool split)
{
    for (CcNamedPipe& pipe : mPipes)
        pipe.SetSplitLongMessages(split);
}

void NamedPipeThread::StopAndCloseAll()
{
    StopThread();
    for (CcNamedPipe& pipe : mPipes)
        pipe.Close();
}

CcClient::CcClient() : ReceiveThread(DEVICE_BLOCK_MAX, true)
{
    mName = "CcClient";
    mIoControl = USB_DRIVER.device_io_control;
    mPipeThread.Init(this, PIPE_BUFFER_SIZE);
    if (mTraceFlags & TRACE_METHODS)
        console_print(ConsoleStream::Out, "%s::CcClient()\n", mName);
}

CcClient::~CcClient()
{
    if (mTraceFlags & TRACE_METHODS)
        console_print(ConsoleStream::Out, "%s::~CcClient()\n", mName);
    StopThread(); // the device's reads route to the pipes
    mPipeThread.StopAndCloseAll();
}

HANDLE CcClient::OpenPipe(uint8_t)
{
    const HANDLE device = OpenDevicePipe(USB_INTERFACE_GUID, 0, USB_DEVICE_PIPE, FILE_FLAG_OVERLAPPED);
    mPartRead = false; // a block being dropped went with the earlier handle
    mOversizeBytes = 0;
    // One pipe service only, ever: a later open while it serves does not start another.
    if (device != INVALID_HANDLE_VALUE && !mPipeThread.IsThreadRunning())
        mPipeThread.StartThread();
    return device;
}

BOOL CcClient::Start(int32_t)
{
    return ReceiveThread::Start(DEVICE_RECONNECT_MS);
}

DWORD CcClient::CheckIoResult(BOOL ok)
{
    mPartRead = !ok && GetLastError() == ERROR_MORE_DATA;
    if (mPartRead)
        return 0;
    const DWORD error = CountIoFailure(ok);
    if (error != 0 && error != ERROR_IO_PENDING) {
        ClosePipe();
        mPipeThread.StopAndCloseAll(); // every connected client sees its pipe break
    }
    return error;
}

void CcClient::OnReceive(const uint8_t* data, uint16_t length)
{
    if (mTraceFlags & TRACE_DEVICE_TO_HOST)
        HexDump(data, length, 16, "R");
    if (mPartRead || mOversizeBytes > 0) {
        mOversizeBytes += length;
        if (!mPartRead) { // the block's last part
            ++mOversizeBlocks;
            console_print(ConsoleStream::Out, "CcClient: a block of %u bytes from the device dropped: longer than %d bytes\n",
                          static_cast<unsigned>(mOversizeBytes), DEVICE_BLOCK_MAX);
            mOversizeBytes = 0;
        }
        return;
    }
    if (length < 2)
        return; // no client number
    // A block for a pipe without a client is lost.
    mPipeThread.Instance(data[1] & 0x0F).WriteToClient(data, static_cast<uint8_t>(length));
}

BOOL CcClient::MsgToDevice(uint8_t client, const uint8_t* data, uint16_t length)
{
    if (mTraceFlags & TRACE_METHODS)
        console_print(ConsoleStream::Out, "%s::MsgToDevice()\n", mName);
    uint8_t block[DEVICE_BLOCK_MAX + 2] = {};
    const int size = device_block_make(client, data, length, block);
    if (size == 0)
        return FALSE;
    if (mTraceFlags & TRACE_HOST_TO_DEVICE)
        HexDump(block, static_cast<uint32_t>(size), 16, "S");
    DWORD returned = 0;
    return PipeIoControl(USB_IOCTL_SEND_BLOCK, block, static_cast<DWORD>(size), nullptr, 0, &returned);
}

void CcClient::ShowUsbVersions()
{
    static const struct {
        DWORD code;
        const char* line;
    } queries[] = {
        {USB_IOCTL_DRIVER_VERSION, "\nUSB Kernel Mode Driver: %20s : %s\n"},
        {USB_IOCTL_DEVICE_LIBRARY, "\nUSB Device Library:     %20s : %s\n"},
        {USB_IOCTL_INTERFACE_LIBRARY, "\nUSB Interface Library:  %20s : %s\n"},
    };
    for (const auto& q : queries) {
        // A reply fills all 64 bytes, perhaps without a terminating zero: the byte behind stays 0.
        char first[VERSION_SIZE + 1] = {};
        char second[VERSION_SIZE + 1] = {};
        const uint16_t one = 1;
        const uint16_t zero = 0;
        DWORD returned = 0;
        if (PipeIoControl(q.code, &one, sizeof one, first, VERSION_SIZE, &returned) &&
            PipeIoControl(q.code, &zero, sizeof zero, second, VERSION_SIZE, &returned))
            console_print(ConsoleStream::Out, q.line, first, second);
    }
}
