// The COM port transport over a pseudo-terminal pair: the transport opens the terminal end, the
// test plays the module on the controlling end.
#include "link/com_port.h"
#include "link/frame.h"
#include "link/link_client.h"
#include "link_console.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class ComPtyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[256];
        ASSERT_EQ(::openpty(&module_, &terminal_, name, nullptr, nullptr), 0);
        path_ = name;
        com_set_device_override(path_.c_str());
    }
    void TearDown() override
    {
        if (ops_.close)
            ops_.close(ops_.context);
        com_set_device_override(nullptr);
        ::close(module_);
        ::close(terminal_);
    }

    void open_port(uint32_t baud = 115200)
    {
        ASSERT_EQ(com_install(&ops_, 1, baud, 2, 8, 2), 0);
        ASSERT_EQ(ops_.open(ops_.context), 0);
    }

    void module_write(const Bytes& bytes)
    {
        ASSERT_EQ(::write(module_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    Bytes module_read(size_t count)
    {
        Bytes got;
        uint8_t chunk[300];
        while (got.size() < count) {
            pollfd p{module_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                break;
            const ssize_t n = ::read(module_, chunk, sizeof chunk);
            if (n <= 0)
                break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    Bytes port_read(size_t count)
    {
        Bytes got;
        uint8_t chunk[RXBUF_SIZE];
        while (got.size() < count) {
            const int n = ops_.read(ops_.context, chunk, sizeof chunk);
            if (n <= 0)
                break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    int module_ = -1;
    int terminal_ = -1;
    std::string path_;
    LinkOps ops_{};
};

TEST(ComDeviceName, PortNumberChoosesTheDevice)
{
    char name[64];
    for (int port : {1, 2, 9}) {
        com_device_name(static_cast<uint8_t>(port), name, sizeof name);
        const std::string com = "/dev/COM" + std::to_string(port);
        const std::string tty = "/dev/ttyS" + std::to_string(port - 1);
        EXPECT_EQ(name, ::access(com.c_str(), F_OK) == 0 ? com : tty);
    }
    com_set_device_override("/tmp/some-line");
    com_device_name(1, name, sizeof name);
    EXPECT_STREQ(name, "/tmp/some-line");
    com_set_device_override(nullptr);
}

TEST_F(ComPtyTest, OpenAppliesTheLineSettings)
{
    open_port();
    termios tio{};
    ASSERT_EQ(::tcgetattr(terminal_, &tio), 0);
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
        const int again = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_LT(again, 0);
        if (again >= 0)
            ::close(again);
    }
}

TEST_F(ComPtyTest, OpensAgainAfterAClose)
{
    // The line keeps the settings of the last open, so the second request changes nothing but
    // the parity that a pseudo-terminal lacks.
    for (int round = 0; round < 3; ++round) {
        open_port();
        module_write({static_cast<uint8_t>(round)});
        EXPECT_EQ(port_read(1), Bytes{static_cast<uint8_t>(round)});
        EXPECT_EQ(ops_.close(ops_.context), 0);
    }
    ops_ = LinkOps{};
}

TEST_F(ComPtyTest, MissingDeviceAndRefusedSettingsFail)
{
    com_set_device_override("/nonexistent/COM1");
    ASSERT_EQ(com_install(&ops_, 1, 115200, 2, 8, 2), 0);
    EXPECT_EQ(ops_.open(ops_.context), -1);
    com_set_device_override(path_.c_str());
    ASSERT_EQ(com_install(&ops_, 1, 12345, 2, 8, 2), 0); // no such rate
    EXPECT_EQ(ops_.open(ops_.context), -2);
    ASSERT_EQ(com_install(&ops_, 1, 115200, 7, 8, 2), 0); // no such parity code
    EXPECT_EQ(ops_.open(ops_.context), -2);
    // Good settings open the same port again.
    ASSERT_EQ(com_install(&ops_, 1, 115200, 2, 8, 2), 0);
    EXPECT_EQ(ops_.open(ops_.context), 0);
}

TEST_F(ComPtyTest, ReadsWhatHasArrivedAndWritesWholeFrames)
{
    open_port();
    uint8_t buffer[4];
    EXPECT_EQ(ops_.read(ops_.context, buffer, 0), 0);
    module_write({0x01, 0x02, 0x03});
    EXPECT_EQ(port_read(3), (Bytes{0x01, 0x02, 0x03}));

    // Nothing waiting: the read blocks until the first byte comes.
    std::atomic<int> got{0};
    std::thread reader([&] { got = ops_.read(ops_.context, buffer, sizeof buffer); });
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(got, 0);
    module_write({0x55});
    reader.join();
    EXPECT_EQ(got, 1);
    EXPECT_EQ(buffer[0], 0x55);

    const Bytes frame = {0xAA, 0x01, 0x81, 0x2C};
    EXPECT_EQ(ops_.write(ops_.context, frame.data(), 4), 4);
    EXPECT_EQ(module_read(4), frame);
}

TEST_F(ComPtyTest, ReadWithTimeLimitOnASilentLineReturnsZero)
{
    open_port();
    uint8_t buffer[8];
    const auto begin = Clock::now();
    EXPECT_EQ(ops_.read_timeout(ops_.context, buffer, sizeof buffer, 50), 0);
    const auto waited = Clock::now() - begin;
    EXPECT_GE(waited, milliseconds(45));
    EXPECT_LT(waited, milliseconds(1000));
    module_write({0x09});
    EXPECT_EQ(ops_.read_timeout(ops_.context, buffer, sizeof buffer, 5000), 1);
    EXPECT_EQ(buffer[0], 0x09);
}

TEST_F(ComPtyTest, WakeEndsABlockedRead)
{
    open_port();
    std::atomic<int> got{1};
    std::thread reader([&] {
        uint8_t buffer[8];
        got = ops_.read(ops_.context, buffer, sizeof buffer);
    });
    std::this_thread::sleep_for(milliseconds(30));
    const auto begin = Clock::now();
    ops_.wake(ops_.context);
    reader.join();
    EXPECT_LT(Clock::now() - begin, milliseconds(200));
    EXPECT_EQ(got, -1);
}

std::mutex g_lock;
std::vector<Bytes> g_received;

int32_t on_message(const uint8_t* m, int32_t n)
{
    std::lock_guard lock(g_lock);
    g_received.emplace_back(m, m + n);
    return 0;
}

TEST_F(ComPtyTest, LinkClientOverTheSerialLine)
{
    ConsoleCapture console;
    LinkConfig config{};
    config.type = LINK_COM;
    config.com = LinkComSettings{1, 115200, 2, 8, 2};
    ORMA_Cli_Configure(&config);
    ORMA_Cli_SetCallbacks(on_message, on_message);
    struct StopAtEnd {
        ~StopAtEnd() { ORMA_Cli_Stop(); }
    } stop_at_end;
    ASSERT_EQ(ORMA_Cli_Start(), 0);
    EXPECT_EQ(console.text(ConsoleStream::Out), "ORMA_Cli_Start()\nClientReceiveThread started\n");

    // One write: a frame cut by a pause longer than the quiet spell would be given up.
    module_write({0x00, 0xAA, 0x01, 0x81, 0x2C, 0x55, 0x03, 0x40, 0x01, 0x02, 0x9B});
    ASSERT_TRUE(wait_until([] {
        std::lock_guard lock(g_lock);
        return g_received.size() == 2;
    }));
    EXPECT_EQ(g_received[0], Bytes{0x81});
    EXPECT_EQ(g_received[1], (Bytes{0x40, 0x01, 0x02}));

    const uint8_t command[] = {0x01};
    frame_send(0xAA, command, 1);
    EXPECT_EQ(module_read(4), (Bytes{0xAA, 0x01, 0x01, 0xAC}));

    console.clear();
    const auto begin = Clock::now();
    EXPECT_EQ(ORMA_Cli_Stop(), 0);
    EXPECT_LT(Clock::now() - begin, milliseconds(200));
    EXPECT_EQ(console.text(ConsoleStream::Err),
              "ORMA_Cli_Stop: ReceiveThread terminated\nORMA_Cli_Stop: Closing com interface\n");
}

} // namespace
