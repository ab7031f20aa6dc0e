// The COM port transport as a Windows program, with COM1 joined to COM2 (tests/wine_com_run.sh
// maps both ports to the ends of a pseudo-terminal pair). The transport opens COM1; the test
// plays the module on COM2.
#include "link/com_port.h"
#include "link/frame.h"
#include "link/link_client.h"
#include "link_console.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The module's end: COM2, plain blocking I/O with short read time-outs.
class Module {
public:
    Module()
    {
        handle_ = CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE)
            return;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(handle_, &dcb);
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY; // a pseudo-terminal has none; the bytes pass either way
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        SetCommState(handle_, &dcb);
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = 50;
        t.ReadTotalTimeoutConstant = 200;
        t.WriteTotalTimeoutConstant = 1000;
        SetCommTimeouts(handle_, &t);
    }
    ~Module()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
    bool write(const Bytes& bytes)
    {
        DWORD n = 0;
        return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n == bytes.size();
    }
    Bytes read(size_t count)
    {
        Bytes got;
        const auto end = Clock::now() + milliseconds(5000);
        while (got.size() < count && Clock::now() < end) {
            uint8_t chunk[300];
            DWORD n = 0;
            if (!ReadFile(handle_, chunk, static_cast<DWORD>(std::min(sizeof chunk, count - got.size())), &n, nullptr))
                break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

class ComWineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(module_.ok()) << "COM2 is not mapped; run through wine_com_run.sh"; }
    void TearDown() override
    {
        if (ops_.close)
            ops_.close(ops_.context);
        reset_line();
    }
    // A pseudo-terminal keeps the settings of its last user and has no parity; the kernel refuses
    // a request that changes nothing but the parity. Put COM1 back to one stop bit and no parity,
    // as socat made it, so that the next open's settings change something.
    static void reset_line()
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
    void open_port()
    {
        ASSERT_EQ(com_install(&ops_, 1, 115200, 2, 8, 2), 0);
        ASSERT_EQ(ops_.open(ops_.context), 0);
    }
    Bytes port_read(size_t count)
    {
        Bytes got;
        uint8_t chunk[RXBUF_SIZE];
        while (got.size() < count) {
            const int n = ops_.read_timeout(ops_.context, chunk, sizeof chunk, 5000);
            if (n <= 0)
                break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    Module module_;
    LinkOps ops_{};
};

TEST(ComDeviceName, IsComAndTheNumber)
{
    char name[32];
    com_device_name(1, name, sizeof name);
    EXPECT_STREQ(name, "COM1");
    com_device_name(12, name, sizeof name);
    EXPECT_STREQ(name, "COM12");
}

TEST_F(ComWineTest, PortThatDoesNotExistFailsToOpen)
{
    ASSERT_EQ(com_install(&ops_, 199, 115200, 2, 8, 2), 0);
    EXPECT_EQ(ops_.open(ops_.context), -1);
    ops_ = LinkOps{};
}

TEST_F(ComWineTest, ReadsWhatHasArrivedAndWritesWholeFrames)
{
    open_port();
    uint8_t buffer[8];
    EXPECT_EQ(ops_.read(ops_.context, buffer, 0), 0);
    ASSERT_TRUE(module_.write({0x01, 0x02, 0x03}));
    EXPECT_EQ(port_read(3), (Bytes{0x01, 0x02, 0x03}));

    // Nothing waiting: the read blocks until the first byte comes, which is not lost.
    std::atomic<int> got{0};
    std::thread reader([&] { got = ops_.read(ops_.context, buffer, sizeof buffer); });
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(got, 0);
    ASSERT_TRUE(module_.write({0x55}));
    reader.join();
    ASSERT_GE(got, 1);
    EXPECT_EQ(buffer[0], 0x55);

    const Bytes frame = {0xAA, 0x01, 0x81, 0x2C};
    EXPECT_EQ(ops_.write(ops_.context, frame.data(), 4), 4);
    EXPECT_EQ(module_.read(4), frame);
}

TEST_F(ComWineTest, ReadWaitsBeyondThePortsOwnReadTimeOut)
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

TEST_F(ComWineTest, ReadWithTimeLimitOnASilentLineKeepsTheReadForLater)
{
    open_port();
    uint8_t buffer[8];
    const auto begin = Clock::now();
    EXPECT_EQ(ops_.read_timeout(ops_.context, buffer, sizeof buffer, 50), 0);
    const auto waited = Clock::now() - begin;
    EXPECT_GE(waited, milliseconds(45));
    EXPECT_LT(waited, milliseconds(1000));
    // The byte that completes the pending read comes out of the next read, in order.
    ASSERT_TRUE(module_.write({0x09, 0x0A}));
    EXPECT_EQ(port_read(2), (Bytes{0x09, 0x0A}));
}

TEST_F(ComWineTest, WakeEndsABlockedRead)
{
    open_port();
    std::atomic<int> got{1};
    std::thread reader([&] {
        uint8_t buffer[8];
        got = ops_.read(ops_.context, buffer, sizeof buffer);
    });
    std::this_thread::sleep_for(milliseconds(50));
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

TEST_F(ComWineTest, LinkClientOnCom1)
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
    ASSERT_TRUE(module_.write({0x00, 0xAA, 0x01, 0x81, 0x2C, 0x55, 0x03, 0x40, 0x01, 0x02, 0x9B, 0xAA, 0x01, 0x10, 0xBB}));
    ASSERT_TRUE(wait_until([] {
        std::lock_guard lock(g_lock);
        return g_received.size() == 2;
    })) << g_received.size() << " messages; console: " << console.text(ConsoleStream::Err);
    EXPECT_EQ(g_received[0], Bytes{0x81});
    EXPECT_EQ(g_received[1], (Bytes{0x40, 0x01, 0x02}));
    ASSERT_TRUE(wait_until([&] { return console.has(ConsoleStream::Err, "ORMA_Client: received invalid message\n"); }));

    const uint8_t command[] = {0x01};
    frame_send(0xAA, command, 1);
    EXPECT_EQ(module_.read(4), (Bytes{0xAA, 0x01, 0x01, 0xAC}));

    console.clear();
    const auto begin = Clock::now();
    EXPECT_EQ(ORMA_Cli_Stop(), 0);
    EXPECT_LT(Clock::now() - begin, milliseconds(200));
    EXPECT_EQ(console.text(ConsoleStream::Err),
              "ORMA_Cli_Stop: ReceiveThread terminated\nORMA_Cli_Stop: Closing com interface\n");
}

} // namespace
