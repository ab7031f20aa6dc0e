// The COM port transport and the link client over a serial line, with the test playing the
// module on the line's far end (see link_com_test.h).
#include "link/link_client.h"
#include "link_com_test.h"
#include "console_capture.h"
#include "test_support.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST_F(ComTest, ReadsWhatHasArrivedAndWritesWholeFrames)
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
    ASSERT_EQ(got, 1);
    EXPECT_EQ(buffer[0], 0x55);

    const Bytes frame = {0xAA, 0x01, 0x81, 0x2C};
    EXPECT_EQ(ops_.write(ops_.context, frame.data(), 4), 4);
    EXPECT_EQ(module_.read(4), frame);
}

TEST_F(ComTest, ReadWithTimeLimitOnASilentLineReturnsZeroAndLosesNothing)
{
    open_port();
    uint8_t buffer[8];
    const auto begin = Clock::now();
    EXPECT_EQ(ops_.read_timeout(ops_.context, buffer, sizeof buffer, 50), 0);
    const auto waited = Clock::now() - begin;
    EXPECT_GE(waited, milliseconds(45));
    EXPECT_LT(waited, milliseconds(1000));
    // Bytes that come after the time limit come out of the next reads, in order, also when the
    // next read is the untimed one.
    ASSERT_TRUE(module_.write({0x09, 0x0A}));
    const int n = ops_.read(ops_.context, buffer, sizeof buffer);
    ASSERT_GE(n, 1);
    Bytes got(buffer, buffer + n);
    const Bytes rest = port_read(2 - got.size());
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, (Bytes{0x09, 0x0A}));
}

TEST_F(ComTest, WakeEndsABlockedRead)
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

TEST_F(ComTest, LinkClientOverTheSerialLine)
{
    ConsoleCapture console;
    LinkConfig config{};
    config.type = LINK_COM;
    config.com = ComSettings{1, 115200, 2, 8, 2};
    ORMA_Cli_Configure(&config);
    ORMA_Cli_SetCallbacks(on_message, on_message);
    struct StopAtEnd {
        ~StopAtEnd() { ORMA_Cli_Stop(); }
    } stop_at_end;
    ASSERT_EQ(ORMA_Cli_Start(), 0);
    EXPECT_EQ(console.text(ConsoleStream::Out), "ORMA_Cli_Start()\nClientReceiveThread started\n");

    // Noise, a response, a notification and a message of neither class, in one write: a frame
    // cut by a pause longer than the quiet spell would be given up.
    ASSERT_TRUE(module_.write({0x00, 0xAA, 0x01, 0x81, 0x2C, 0x55, 0x03, 0x40, 0x01, 0x02, 0x9B, 0xAA, 0x01, 0x10, 0xBB}));
    ASSERT_TRUE(wait_until([] {
        std::lock_guard lock(g_lock);
        return g_received.size() == 2;
    })) << g_received.size() << " messages; console: " << console.text(ConsoleStream::Err);
    EXPECT_EQ(g_received[0], Bytes{0x81});
    EXPECT_EQ(g_received[1], (Bytes{0x40, 0x01, 0x02}));
    ASSERT_TRUE(wait_until([&] { return console.has(ConsoleStream::Err, "ORMA_Client: received invalid message\n"); }));

    const uint8_t command[] = {0x01};
    frame_send(ORMA_Cli_Ops(), 0xAA, command, 1);
    EXPECT_EQ(module_.read(4), (Bytes{0xAA, 0x01, 0x01, 0xAC}));

    console.clear();
    const auto begin = Clock::now();
    EXPECT_EQ(ORMA_Cli_Stop(), 0);
    EXPECT_LT(Clock::now() - begin, milliseconds(200));
    EXPECT_EQ(console.text(ConsoleStream::Err),
              "ORMA_Cli_Stop: ReceiveThread terminated\nORMA_Cli_Stop: Closing com interface\n");
}

} // namespace
