// The module's end under Wine: COM2, which wine_com_run.sh joins to COM1 through a
// pseudo-terminal pair; plain blocking I/O with short read time-outs. Also the tests of what only
// the Win32 backend does.
#include "link_com_test.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct ComModuleLine {
    HANDLE module = INVALID_HANDLE_VALUE;
};

namespace {

// A pseudo-terminal keeps the settings of its last user and has no parity; the kernel refuses a
// request that changes nothing but the parity. Put COM1 back to one stop bit and no parity, as
// socat made it, so that the next open's settings change something.
void reset_port_line()
{
    HANDLE h = CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(h, &dcb);
    CloseHandle(h);
}

} // namespace

ComModule::ComModule() : line_(new ComModuleLine)
{
    HANDLE h = CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    line_->module = h;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY; // a pseudo-terminal has none; the bytes pass either way
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    SetCommState(h, &dcb);
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = 50;
    t.ReadTotalTimeoutConstant = 200;
    t.WriteTotalTimeoutConstant = 1000;
    SetCommTimeouts(h, &t);
}

ComModule::~ComModule()
{
    if (line_->module != INVALID_HANDLE_VALUE)
        CloseHandle(line_->module);
    delete line_;
    reset_port_line();
}

std::string ComModule::fault() const
{
    return line_->module == INVALID_HANDLE_VALUE ? "COM2 is not mapped; run through wine_com_run.sh" : "";
}

bool ComModule::write(const Bytes& bytes)
{
    DWORD n = 0;
    return WriteFile(line_->module, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n == bytes.size();
}

Bytes ComModule::read(size_t count)
{
    Bytes got;
    const auto end = Clock::now() + milliseconds(5000);
    while (got.size() < count && Clock::now() < end) {
        uint8_t chunk[300];
        DWORD n = 0;
        if (!ReadFile(line_->module, chunk, static_cast<DWORD>(std::min(sizeof chunk, count - got.size())), &n, nullptr))
            break;
        got.insert(got.end(), chunk, chunk + n);
    }
    return got;
}

namespace {

TEST(ComDeviceName, IsComAndTheNumber)
{
    char name[32];
    com_device_name(1, name, sizeof name);
    EXPECT_STREQ(name, "COM1");
    com_device_name(12, name, sizeof name);
    EXPECT_STREQ(name, "COM12");
}

TEST_F(ComTest, PortThatDoesNotExistFailsToOpen)
{
    ASSERT_EQ(com_install(&ops_, 199, 115200, 2, 8, 2), 0);
    EXPECT_EQ(ops_.open(ops_.context), -1);
    ops_ = LinkOps{};
}

TEST_F(ComTest, ReadWaitsBeyondThePortsOwnReadTimeOut)
{
    // The port's one-byte reads end after 1000 ms without a byte; the read goes on regardless.
    open_port();
    std::atomic<int> got{0};
    uint8_t buffer[8];
    std::thread reader([&] { got = ops_.read(ops_.context, buffer, sizeof buffer); });
    std::this_thread::sleep_for(milliseconds(2300)); // two of the port's time-outs pass
    EXPECT_EQ(got, 0);
    ASSERT_TRUE(module_.write({0x42}));
    reader.join();
    ASSERT_EQ(got, 1);
    EXPECT_EQ(buffer[0], 0x42);
}

} // namespace
