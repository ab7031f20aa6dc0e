// The Win32 COM backend's requests to the line, read back through its seam without a serial
// port: the port is a temporary file, and every time-out, device-control block and modem-line
// request is recorded. (The reads and writes over a real line run in the end-to-end tests of
// mode 1 under Wine.)
#include "link/com_port.h"
#include "link/com_port_win32.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

struct Seen {
    std::string name;
    std::vector<COMMTIMEOUTS> timeouts;
    std::vector<DCB> states;
    std::vector<DWORD> escapes;
    bool refuse_state = false;
} g_seen;

HANDLE open_file(const char* name)
{
    g_seen.name = name;
    return CreateFileA("com_seam.tmp", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}
BOOL seen_timeouts(HANDLE, const COMMTIMEOUTS* t)
{
    g_seen.timeouts.push_back(*t);
    return TRUE;
}
BOOL state_of_a_used_port(HANDLE, DCB* dcb) // as a port may report it after an earlier user
{
    *dcb = DCB{};
    dcb->DCBlength = sizeof *dcb;
    dcb->BaudRate = 9600;
    dcb->ByteSize = 7;
    dcb->fOutxCtsFlow = dcb->fOutX = dcb->fInX = dcb->fNull = TRUE;
    dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb->fAbortOnError = TRUE;
    return !g_seen.refuse_state;
}
BOOL seen_state(HANDLE, const DCB* dcb)
{
    g_seen.states.push_back(*dcb);
    return TRUE;
}
BOOL seen_escape(HANDLE, DWORD function)
{
    g_seen.escapes.push_back(function);
    return TRUE;
}

class ComWin32 : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_seen = Seen{};
        const ComWin32Seam seam{open_file, seen_timeouts, state_of_a_used_port, seen_state, seen_escape};
        com_win32_set_seam(&seam);
    }
    void TearDown() override { com_win32_set_seam(nullptr); }
    LinkOps ops_{};
};

// Mode 1's port: COM1, the time-outs of the system, 115200 baud 8E2 without flow control, RTS
// raised and DTR lowered (never raised), and DTR lowered again at the close.
TEST_F(ComWin32, OpenAsksForTheLineOfModeOne)
{
    ASSERT_EQ(com_install(&ops_, 1, 115200, 2, 8, 2), 0);
    ASSERT_EQ(ops_.open(ops_.context), 0);
    EXPECT_EQ(g_seen.name, "COM1");
    ASSERT_EQ(g_seen.timeouts.size(), 1u);
    const COMMTIMEOUTS& t = g_seen.timeouts[0];
    EXPECT_EQ((std::vector<DWORD>{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                                  t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}),
              (std::vector<DWORD>{0xFFFFFFFF, 0, 1000, 0, 1000}));
    ASSERT_EQ(g_seen.states.size(), 1u);
    const DCB& d = g_seen.states[0];
    EXPECT_EQ((std::vector<DWORD>{d.BaudRate, d.ByteSize, d.Parity, d.StopBits}), (std::vector<DWORD>{115200, 8, 2, 2}));
    EXPECT_EQ((std::vector<DWORD>{d.fBinary, d.fParity, d.fOutxCtsFlow, d.fOutxDsrFlow, d.fOutX, d.fInX, d.fNull,
                                  d.fDtrControl, d.fRtsControl}),
              (std::vector<DWORD>{1, 1, 0, 0, 0, 0, 0, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE}));
    EXPECT_EQ(d.fAbortOnError, 1u) << "left as the port reported it";
    EXPECT_EQ(g_seen.escapes, (std::vector<DWORD>{SETRTS, CLRDTR}));
    EXPECT_EQ(ops_.close(ops_.context), 0);
    EXPECT_EQ(g_seen.escapes, (std::vector<DWORD>{SETRTS, CLRDTR, CLRDTR}));
}

TEST_F(ComWin32, PortThatRefusesItsStateFailsWithMinusTwo)
{
    g_seen.refuse_state = true;
    ASSERT_EQ(com_install(&ops_, 3, 115200, 2, 8, 2), 0);
    EXPECT_EQ(ops_.open(ops_.context), -2);
    EXPECT_EQ(g_seen.name, "COM3");
    EXPECT_TRUE(g_seen.escapes.empty()) << "modem lines changed on a refused port";
    ops_.close(ops_.context);
}

// The names the ports open by: COM1 to COM9 plainly, from COM10 on (and every port given by name)
// in the \\.\ form that every port takes; other names as they stand.
TEST_F(ComWin32, PortsOpenByTheirWindowsNames)
{
    const struct {
        uint8_t number;
        const char* device;
        const char* opened;
    } cases[] = {
        {7, "", "COM7"}, {12, "", "\\\\.\\COM12"}, {1, "COM12", "\\\\.\\COM12"}, {1, "com3", "\\\\.\\com3"},
        {1, "\\\\.\\COM4", "\\\\.\\COM4"},
    };
    for (const auto& c : cases) {
        ComSettings settings{c.number, 115200, 2, 8, 2, {}};
        std::snprintf(settings.device, sizeof settings.device, "%s", c.device);
        ASSERT_EQ(com_install_settings(&ops_, settings), 0);
        ops_.open(ops_.context);
        EXPECT_EQ(g_seen.name, c.opened) << int{c.number} << " " << c.device;
        ops_.close(ops_.context);
    }
}

} // namespace
