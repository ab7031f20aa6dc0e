// The module's end natively: the controlling side of a pseudo-terminal pair whose terminal side
// every COM port opens. Also the tests of what only the POSIX backend does.
#include "link_com_test.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

struct ComModuleLine {
    int module = -1;   // the module's side
    int terminal = -1; // held open so that the line stays up between the port's opens
    std::string path;  // the terminal side's device
    std::string fault;
};

ComModule::ComModule() : line_(new ComModuleLine)
{
    char name[256];
    if (::openpty(&line_->module, &line_->terminal, name, nullptr, nullptr) != 0) {
        line_->fault = std::string("openpty: ") + std::strerror(errno);
        return;
    }
    line_->path = name;
    setenv("ORMA_COM1", name, 1);
}

ComModule::~ComModule()
{
    unsetenv("ORMA_COM1");
    if (line_->module >= 0)
        ::close(line_->module);
    if (line_->terminal >= 0)
        ::close(line_->terminal);
    delete line_;
}

std::string ComModule::fault() const
{
    return line_->fault;
}

bool ComModule::write(const Bytes& bytes)
{
    return ::write(line_->module, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

Bytes ComModule::read(size_t count)
{
    Bytes got;
    uint8_t chunk[300];
    while (got.size() < count) {
        pollfd p{line_->module, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            break;
        const ssize_t n = ::read(line_->module, chunk, std::min(sizeof chunk, count - got.size()));
        if (n <= 0)
            break;
        got.insert(got.end(), chunk, chunk + n);
    }
    return got;
}

namespace {

TEST(ComDeviceName, PortNumberChoosesTheDevice)
{
    char name[64];
    for (int port : {1, 2, 9}) {
        com_device_name(static_cast<uint8_t>(port), name, sizeof name);
        const std::string com = "/dev/COM" + std::to_string(port);
        const std::string tty = "/dev/ttyS" + std::to_string(port - 1);
        EXPECT_EQ(name, ::access(com.c_str(), F_OK) == 0 ? com : tty);
    }
    setenv("ORMA_COM1", "/tmp/some-line", 1);
    com_device_name(1, name, sizeof name);
    EXPECT_STREQ(name, "/tmp/some-line");
    com_device_name(2, name, sizeof name); // only port 1 was pointed elsewhere
    EXPECT_STRNE(name, "/tmp/some-line");
    unsetenv("ORMA_COM1");
}

TEST_F(ComTest, OpenAppliesTheLineSettings)
{
    open_port();
    termios tio{};
    ASSERT_EQ(::tcgetattr(module_.line().terminal, &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    // A pseudo-terminal keeps no parity setting (its driver clears it); two stop bits it keeps.
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_cflag & CREAD);
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    if (::geteuid() != 0) { // the port is not shared (root may open it anyway)
        const int again = ::open(module_.line().path.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_LT(again, 0);
        if (again >= 0)
            ::close(again);
    }
}

TEST_F(ComTest, OpensAgainAfterAClose)
{
    // The line keeps the settings of the last open, so the second request changes nothing but
    // the parity that a pseudo-terminal lacks.
    for (int round = 0; round < 3; ++round) {
        open_port();
        ASSERT_TRUE(module_.write({static_cast<uint8_t>(round)}));
        EXPECT_EQ(port_read(1), Bytes{static_cast<uint8_t>(round)});
        EXPECT_EQ(ops_.close(ops_.context), 0);
    }
    ops_ = LinkOps{};
}

TEST_F(ComTest, MissingDeviceAndRefusedSettingsFail)
{
    setenv("ORMA_COM1", "/nonexistent/COM1", 1);
    ASSERT_EQ(com_install(&ops_, 1, 115200, 2, 8, 2), 0);
    EXPECT_EQ(ops_.open(ops_.context), -1);
    setenv("ORMA_COM1", module_.line().path.c_str(), 1);
    ASSERT_EQ(com_install(&ops_, 1, 12345, 2, 8, 2), 0); // no such rate
    EXPECT_EQ(ops_.open(ops_.context), -2);
    ASSERT_EQ(com_install(&ops_, 1, 115200, 7, 8, 2), 0); // no such parity code
    EXPECT_EQ(ops_.open(ops_.context), -2);
    // Good settings open the same port again.
    ASSERT_EQ(com_install(&ops_, 1, 115200, 2, 8, 2), 0);
    EXPECT_EQ(ops_.open(ops_.context), 0);
}

} // namespace
