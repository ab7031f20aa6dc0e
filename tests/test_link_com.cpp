// The COM port transport and mode 1 natively, over a pseudo-terminal pair whose terminal side
// port 1 opens (ORMA_COM1) and whose other side the test plays as the module. Under Wine the
// Windows backend runs in the end-to-end tests of mode 1.
#include "ORMA_DLL.h"
#include "console_capture.h"
#include "link/com_port.h"
#include "link/com_port_posix.h"
#include "link/frame.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ComTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[256];
        ASSERT_EQ(::openpty(&module_, &terminal_, name, nullptr, nullptr), 0) << std::strerror(errno);
        setenv("ORMA_COM1", name, 1);
    }
    void TearDown() override
    {
        ORMA_DLL_Exit();
        if (ops_.close)
            ops_.close(ops_.context);
        unsetenv("ORMA_COM1");
        ::close(module_);
        ::close(terminal_); // held open so that the line stays up between the port's opens
    }
    void open_port()
    {
        ASSERT_EQ(com_install(&ops_, 1, 115200, 2, 8, 2), 0);
        ASSERT_EQ(ops_.open(ops_.context), 0);
    }
    bool module_writes(const Bytes& bytes)
    {
        return ::write(module_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // What reaches the module until `count` bytes are in or 5 s have passed.
    Bytes module_reads(size_t count)
    {
        Bytes got;
        uint8_t chunk[300];
        pollfd p{module_, POLLIN, 0};
        for (ssize_t n; got.size() < count && ::poll(&p, 1, 5000) > 0 &&
                        (n = ::read(module_, chunk, std::min(sizeof chunk, count - got.size()))) > 0;)
            got.insert(got.end(), chunk, chunk + n);
        return got;
    }
    // What the port delivers until `count` bytes are in or a read waits 5 s in vain.
    Bytes port_reads(size_t count)
    {
        Bytes got;
        uint8_t chunk[RXBUF_SIZE];
        for (int n; got.size() < count && (n = ops_.read_timeout(ops_.context, chunk, sizeof chunk, 5000)) > 0;)
            got.insert(got.end(), chunk, chunk + n);
        return got;
    }
    int module_ = -1;
    int terminal_ = -1;
    LinkOps ops_{};
};

TEST_F(ComTest, ReadsWhatHasArrivedWaitsForMoreAndIsWoken)
{
    open_port();
    uint8_t buffer[8];
    EXPECT_EQ(ops_.read(ops_.context, buffer, 0), 0);
    ASSERT_TRUE(module_writes({0x01, 0x02, 0x03}));
    EXPECT_EQ(port_reads(3), (Bytes{0x01, 0x02, 0x03}));
    // Nothing waiting: the read blocks until the first byte comes; a wake ends it at once.
    for (const bool wake : {false, true}) {
        std::atomic<int> got{0};
        std::thread reader([&] { got = ops_.read(ops_.context, buffer, sizeof buffer); });
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(got, 0);
        const auto begin = Clock::now();
        if (wake) {
            ops_.wake(ops_.context);
        } else if (!module_writes({0x55})) { // the reader must still end before the test does
            ADD_FAILURE() << "the module could not write";
            ops_.wake(ops_.context);
        }
        reader.join();
        EXPECT_LT(Clock::now() - begin, 200ms);
        EXPECT_EQ(got, wake ? -1 : 1);
    }
    EXPECT_EQ(buffer[0], 0x55);
    const Bytes frame = {0xAA, 0x01, 0x81, 0x2C};
    EXPECT_EQ(ops_.write(ops_.context, frame.data(), 4, 1000), 4);
    EXPECT_EQ(module_reads(4), frame);
}

TEST_F(ComTest, PortNumberChoosesTheDeviceAndBadOnesFail)
{
    char name[64];
    com_device_name(1, name, sizeof name);
    EXPECT_STREQ(name, std::getenv("ORMA_COM1")); // pointed at the line
    com_device_name(9, name, sizeof name);
    EXPECT_STREQ(name, ::access("/dev/COM9", F_OK) == 0 ? "/dev/COM9" : "/dev/ttyS8");
    ASSERT_EQ(com_install(&ops_, 1, 12345, 2, 8, 2), 0); // no such rate
    EXPECT_EQ(ops_.open(ops_.context), -2);
    ASSERT_EQ(com_install(&ops_, 1, 115200, 7, 8, 2), 0); // no such parity code
    EXPECT_EQ(ops_.open(ops_.context), -2);
    // A line keeps the settings of the last open: a request that changes nothing but the parity,
    // which a pseudo-terminal lacks, opens all the same, again and again.
    for (uint8_t round = 0; round < 2; ++round) {
        open_port();
        ASSERT_TRUE(module_writes({round}));
        EXPECT_EQ(port_reads(1), Bytes{round});
        EXPECT_EQ(ops_.close(ops_.context), 0);
    }
    setenv("ORMA_COM1", "/nonexistent/COM1", 1);
    EXPECT_EQ(ops_.open(ops_.context), -1);
}

// Through the exports in mode 1: the protocol picks the start byte, and only protocol 2 has
// callbacks that keep what arrives.
class ComProtocol : public ComTest, public ::testing::WithParamInterface<std::pair<int32_t, uint8_t>> {};

TEST_P(ComProtocol, StartByteAndWhatIsKept)
{
    const auto [protocol, start] = GetParam();
    ConsoleCapture console;
    ASSERT_EQ(ORMA_DLL_Init(1, protocol, 0, nullptr), 0);
    uint8_t buf[255], len = 0;
    EXPECT_EQ(ORMA_DLL_Receive_Message(buf, &len), 1); // polled: notifications are kept
    ORMA_DLL_Send_Message(Bytes{0x01}.data(), 1);
    EXPECT_EQ(module_reads(4), framed(start, {0x01}));
    // A response and a notification; the console line of the invalid message behind them shows
    // that both were handled.
    ASSERT_TRUE(module_writes(cat(framed(start, {0x81}), framed(start, {0xC1}), framed(0xAA, {0x01}))));
    ASSERT_TRUE(wait_until([&] { return console.has(ConsoleStream::Err, "ORMA_Client: received invalid message\n"); }));
    std::vector<Bytes> kept;
    while (ORMA_DLL_Receive_Message(buf, &len) == 0)
        kept.emplace_back(buf, buf + len);
    EXPECT_EQ(kept, (protocol == 2 ? std::vector<Bytes>{{0x81}, {0xC1}} : std::vector<Bytes>{}));
}

INSTANTIATE_TEST_SUITE_P(Protocols, ComProtocol,
                         ::testing::Values(std::pair<int32_t, uint8_t>{2, 0xAA}, std::pair<int32_t, uint8_t>{1, 0x55},
                                           std::pair<int32_t, uint8_t>{0, 0xCC}));

// Mode 1 asks for COM1 at 115200 baud, 8 data bits, even parity and 2 stop bits, raw and without
// flow control, with RTS raised and DTR lowered (and lowered again at the close): seen in
// com_settings() and in the termios and modem-line requests themselves. A line that refuses
// the parity fails the open with -2, unless it is a pseudo-terminal, which is asked again without.
struct Termios {
    std::vector<termios> requests;
    bool refuse_parity;
    bool pseudo_terminal;
    std::vector<std::pair<unsigned long, int>> lines; // modem-line requests, in order
} g_termios;

int seen_lines(int fd, unsigned long request, int lines)
{
    g_termios.lines.emplace_back(request, lines);
    return ::ioctl(fd, request, &lines);
}

int seen_set(int fd, const termios* tio)
{
    g_termios.requests.push_back(*tio);
    if (g_termios.refuse_parity && (tio->c_cflag & PARENB)) {
        errno = EINVAL;
        return -1;
    }
    return ::tcsetattr(fd, TCSANOW, tio);
}

TEST_F(ComTest, ModeOneAsksForItsLineAndOnlyAPseudoTerminalGoesWithoutParity)
{
    const ComTermiosSeam seam{seen_set, [](int) { return g_termios.pseudo_terminal; }, seen_lines};
    com_posix_set_seam(&seam);
    struct Restore {
        ~Restore() { com_posix_set_seam(nullptr); }
    } restore;
    ConsoleCapture console;
    g_termios = {{}, false, false, {}};
    ASSERT_EQ(ORMA_DLL_Init(1, 2, 0, nullptr), 0);
    ORMA_DLL_Exit();
    const std::vector<std::pair<unsigned long, int>> lines = {
        {TIOCMBIS, TIOCM_RTS}, {TIOCMBIC, TIOCM_DTR}, {TIOCMBIC, TIOCM_DTR}};
    EXPECT_EQ(g_termios.lines, lines);
    const ComSettings s = com_settings();
    EXPECT_EQ((std::vector<unsigned>{s.port, s.baud, s.parity, s.data_bits, s.stop_bits}),
              (std::vector<unsigned>{1, 115200, 2, 8, 2}));
    ASSERT_EQ(g_termios.requests.size(), 1u);
    const termios& t = g_termios.requests[0];
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8 | PARENB | CSTOPB));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL));
    EXPECT_FALSE(t.c_oflag & OPOST);

    for (const bool pseudo_terminal : {false, true}) {
        g_termios = {{}, true, pseudo_terminal, {}};
        ASSERT_EQ(com_install(&ops_, 1, 115200, 2, 8, 2), 0);
        EXPECT_EQ(ops_.open(ops_.context), pseudo_terminal ? 0 : -2);
        ASSERT_EQ(g_termios.requests.size(), pseudo_terminal ? 2u : 1u);
        EXPECT_EQ(g_termios.requests.back().c_cflag & (CSIZE | PARENB | CSTOPB),
                  static_cast<tcflag_t>(CS8 | CSTOPB | (pseudo_terminal ? 0 : PARENB)));
        ops_.close(ops_.context);
    }
}

} // namespace
