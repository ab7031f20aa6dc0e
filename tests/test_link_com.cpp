// The COM port transport and mode 1 over a serial line, with the test playing the module on the
// line's far end (see link_com_test.h).
#include "link_com_test.h"
#include "console_capture.h"

#include <atomic>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST_F(ComTest, ReadsWhatHasArrivedWaitsForMoreAndIsWoken)
{
    open_port();
    uint8_t buffer[8];
    EXPECT_EQ(ops_.read(ops_.context, buffer, 0), 0);
    ASSERT_TRUE(module_.write({0x01, 0x02, 0x03}));
    EXPECT_EQ(port_read(3), (Bytes{0x01, 0x02, 0x03}));
    // Nothing waiting: the read blocks until the first byte comes, which is not lost; a wake ends
    // a blocked read at once.
    for (const bool wake : {false, true}) {
        std::atomic<int> got{0};
        std::thread reader([&] { got = ops_.read(ops_.context, buffer, sizeof buffer); });
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(got, 0);
        const auto begin = Clock::now();
        if (wake)
            ops_.wake(ops_.context);
        else
            ASSERT_TRUE(module_.write({0x55}));
        reader.join();
        EXPECT_LT(Clock::now() - begin, 200ms);
        EXPECT_EQ(got, wake ? -1 : 1);
    }
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
    EXPECT_GE(Clock::now() - begin, 45ms);
    EXPECT_LT(Clock::now() - begin, 1s);
    // Bytes that come after the time limit come out of the next reads, in order, also when the
    // next read is the untimed one.
    ASSERT_TRUE(module_.write({0x09, 0x0A}));
    const int n = ops_.read(ops_.context, buffer, sizeof buffer);
    ASSERT_GE(n, 1);
    EXPECT_EQ(cat(Bytes(buffer, buffer + n), port_read(2 - static_cast<size_t>(n))), (Bytes{0x09, 0x0A}));
}

// Through the exports in mode 1 (COM1 at 115200 baud, 8 data bits, even parity, 2 stop bits): the
// protocol picks the start byte, and only protocol 2 has callbacks that keep what arrives.
class ComProtocol : public ComTest, public ::testing::WithParamInterface<std::pair<int32_t, uint8_t>> {};

TEST_P(ComProtocol, StartByteAndWhatIsKept)
{
    const auto [protocol, start] = GetParam();
    ConsoleCapture console;
    ASSERT_EQ(ORMA_DLL_Init(1, protocol, 0, nullptr), 0);
    const ComSettings s = com_settings();
    EXPECT_EQ((std::vector<unsigned>{s.port, s.baud, s.parity, s.data_bits, s.stop_bits}),
              (std::vector<unsigned>{1, 115200, 2, 8, 2}));
    uint8_t buf[255], len = 0;
    EXPECT_EQ(ORMA_DLL_Receive_Message(buf, &len), 1); // polled: notifications are kept
    ORMA_DLL_Send_Message(Bytes{0x01}.data(), 1);
    EXPECT_EQ(module_.read(4), framed(start, {0x01}));
    // A response and a notification; the console line of the invalid message behind them shows
    // that both were handled.
    ASSERT_TRUE(module_.write(cat(framed(start, {0x81}), framed(start, {0xC1}), framed(0xAA, {0x01}))));
    ASSERT_TRUE(wait_until([&] { return console.has(ConsoleStream::Err, "ORMA_Client: received invalid message\n"); }));
    std::vector<Bytes> kept;
    while (ORMA_DLL_Receive_Message(buf, &len) == 0)
        kept.emplace_back(buf, buf + len);
    EXPECT_EQ(kept, (protocol == 2 ? std::vector<Bytes>{{0x81}, {0xC1}} : std::vector<Bytes>{}));
}

INSTANTIATE_TEST_SUITE_P(Protocols, ComProtocol,
                         ::testing::Values(std::pair<int32_t, uint8_t>{2, 0xAA}, std::pair<int32_t, uint8_t>{1, 0x55},
                                           std::pair<int32_t, uint8_t>{0, 0xCC}));

} // namespace
