// The link client against a TCP peer inside the test: start, reception and dispatch, recovery
// from noise, a peer that closes, and stopping while the peer is silent.
#include "link/frame.h"
#include "link/link_client.h"
#include "console_capture.h"
#include "link_sock.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_lock;
std::vector<Bytes> g_first;
std::vector<Bytes> g_second;

int32_t on_first(const uint8_t* m, int32_t n)
{
    std::lock_guard lock(g_lock);
    g_first.emplace_back(m, m + n);
    return 0;
}
int32_t on_second(const uint8_t* m, int32_t n)
{
    std::lock_guard lock(g_lock);
    g_second.emplace_back(m, m + n);
    return 0;
}
size_t first_count()
{
    std::lock_guard lock(g_lock);
    return g_first.size();
}
std::vector<Bytes> first_copy()
{
    std::lock_guard lock(g_lock);
    return g_first;
}
std::vector<Bytes> second_copy()
{
    std::lock_guard lock(g_lock);
    return g_second;
}

Bytes operator+(const Bytes& a, const Bytes& b)
{
    Bytes all(a.size() + b.size());
    std::copy(a.begin(), a.end(), all.begin());
    std::copy(b.begin(), b.end(), all.begin() + static_cast<long>(a.size()));
    return all;
}

class LinkClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testsock::init());
        std::lock_guard lock(g_lock);
        g_first.clear();
        g_second.clear();
    }
    void TearDown() override
    {
        ORMA_Cli_Stop();
        testsock::close(peer_);
        testsock::close(listener_);
    }

    // Starts the link client as TCP client of a listener of the test, with both callbacks.
    void start(ReceiveCallback first = on_first, ReceiveCallback second = on_second)
    {
        uint16_t port = 0;
        listener_ = testsock::listen_loopback(&port);
        ASSERT_NE(listener_, testsock::NONE);
        LinkConfig config{};
        config.type = LINK_TCP;
        config.tcp.port = port;
        std::strcpy(config.tcp.address, "127.0.0.1");
        ORMA_Cli_Configure(&config);
        ORMA_Cli_SetCallbacks(first, second);
        ASSERT_EQ(ORMA_Cli_Start(), 0);
        peer_ = testsock::accept_one(listener_, 5000);
        ASSERT_NE(peer_, testsock::NONE);
    }

    void send(const Bytes& bytes) { ASSERT_TRUE(testsock::send_all(peer_, bytes)); }

    ConsoleCapture console_;
    testsock::Socket listener_ = testsock::NONE;
    testsock::Socket peer_ = testsock::NONE;
};

TEST_F(LinkClientTest, StartsWithItsLinesAndDispatchesByStartByteAndClass)
{
    start();
    EXPECT_EQ(console_.text(ConsoleStream::Out),
              "ORMA_Cli_Start()\nClient connecting to: 127.0.0.1\nClientReceiveThread started\n");

    send(framed(0xAA, {0x81, 0x07}) + framed(0xAA, {0xE0, 0x46, 1, 2}) + framed(0x55, {0x40, 0x01, 0x02}) +
         framed(0xCC, {0xC1}) + framed(0xAA, {0x40, 0x01, 0x02}) + framed(0xAA, {0x3F}) + framed(0xAA, {0x82}));
    ASSERT_TRUE(wait_until([] { return first_count() == 4; }));
    EXPECT_EQ(first_copy(), (std::vector<Bytes>{{0x81, 0x07}, {0x40, 0x01, 0x02}, {0xC1}, {0x82}}));
    EXPECT_EQ(second_copy(), (std::vector<Bytes>{{0xE0, 0x46, 1, 2}}));
    // Classes 00 and 01 under start byte 0xAA reach nobody and are reported once each.
    EXPECT_EQ(console_.count("ORMA_Client: received invalid message\n"), 2u);
    EXPECT_TRUE(console_.has(ConsoleStream::Err, "ORMA_Client: received invalid message\n"));
}

TEST_F(LinkClientTest, UnsetCallbackDropsSilently)
{
    start(on_first, nullptr);
    send(framed(0xAA, {0xC5, 1}) + framed(0xAA, {0x85}));
    ASSERT_TRUE(wait_until([] { return first_count() == 1; }));
    EXPECT_TRUE(second_copy().empty());
    EXPECT_EQ(console_.text(ConsoleStream::Err), "");
}

TEST_F(LinkClientTest, ConfigureClearsCallbacksAndNullLeavesThemAsTheyWere)
{
    ORMA_Cli_Configure(nullptr);
    ORMA_Cli_SetCallbacks(on_first, on_second);
    ORMA_Cli_SetCallbacks(nullptr, nullptr); // leaves both
    start(nullptr, nullptr);                   // configures again: clears both, sets none
    // The invalid message behind them is reported once both frames have been handled.
    send(framed(0xAA, {0x81}) + framed(0xAA, {0xC1}) + framed(0xAA, {0x01}));
    ASSERT_TRUE(wait_until([&] { return console_.has(ConsoleStream::Err, "ORMA_Client: received invalid message\n"); }));
    ORMA_Cli_SetCallbacks(on_first, nullptr);
    send(framed(0x55, {0x01}));
    ASSERT_TRUE(wait_until([] { return first_count() >= 1; }));
    EXPECT_EQ(first_copy(), std::vector<Bytes>{Bytes{0x01}});
    EXPECT_TRUE(second_copy().empty());
}

TEST_F(LinkClientTest, FramesSplitAndWrappedInNoiseArriveInOrder)
{
    start();
    std::mt19937 rng(7);
    Bytes stream;
    std::vector<Bytes> expected;
    for (int i = 0; i < 200; ++i) {
        Bytes message(1 + rng() % 255);
        for (auto& b : message)
            b = static_cast<uint8_t>(rng());
        message[0] = static_cast<uint8_t>(0x80 | (message[0] & 0x3F)); // a response
        expected.push_back(message);
        for (auto n = rng() % 6; n > 0; --n) // noise without start bytes
            stream.push_back(static_cast<uint8_t>(0x01 + rng() % 0x50));
        stream = stream + framed(0xAA, message);
    }
    for (size_t at = 0; at < stream.size();) {
        const size_t piece = std::min<size_t>(1 + rng() % 700, stream.size() - at);
        send(Bytes(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + piece)));
        at += piece;
    }
    ASSERT_TRUE(wait_until([&] { return first_count() == expected.size(); }));
    EXPECT_EQ(first_copy(), expected);
}

TEST_F(LinkClientTest, StartByteOfAFrameThatNeverCompletesIsGivenUpWhenTheLineGoesQuiet)
{
    start();
    // Noise that looks like the start of a 258-byte frame, then a response that is complete.
    send(Bytes{0xAA, 0xFF, 0x10} + framed(0xAA, {0x81}));
    const auto sent = Clock::now();
    ASSERT_TRUE(wait_until([] { return first_count() == 1; }, std::chrono::milliseconds(3000)));
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(90)); // only after the quiet spell
    EXPECT_EQ(first_copy()[0], Bytes{0x81});
    // Reception goes on normally afterwards.
    send(framed(0xAA, {0x82}));
    ASSERT_TRUE(wait_until([] { return first_count() == 2; }));
}

TEST_F(LinkClientTest, RecoversFromMoreNoiseThanTheBufferHolds)
{
    start();
    std::mt19937 rng(3);
    Bytes noise(10000);
    for (auto& b : noise) { // start bytes among the noise, each with a long length byte
        b = static_cast<uint8_t>(rng());
        if (b == 0xAA || b == 0x55 || b == 0xCC)
            b = 0x00;
    }
    for (size_t i = 0; i + 1 < noise.size(); i += 97) {
        noise[i] = 0xAA;
        noise[i + 1] = 0xF0;
    }
    send(noise);
    // More noise than the 2048-byte buffer holds: without discarding, reception would stall.
    send(framed(0xAA, {0x8A, 0x01}));
    ASSERT_TRUE(wait_until([] { return first_count() >= 1; }));
    EXPECT_EQ(first_copy().back(), (Bytes{0x8A, 0x01}));
}

TEST_F(LinkClientTest, StopWithASilentPeerIsPromptAndOrderly)
{
    start();
    console_.clear();
    const auto begin = Clock::now();
    EXPECT_EQ(ORMA_Cli_Stop(), 0);
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(200));
    EXPECT_EQ(console_.text(ConsoleStream::Err),
              "ORMA_Cli_Stop: ReceiveThread terminated\nORMA_Cli_Stop: Closing com interface\n");
    EXPECT_EQ(console_.text(ConsoleStream::Out), "");
    // The module side sees the connection end.
    uint8_t byte;
    EXPECT_EQ(testsock::recv_some(peer_, &byte, 1, 2000), -1);
}

TEST_F(LinkClientTest, StopWhileDataKeepsArriving)
{
    start();
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        while (feeding && testsock::send_all(peer_, framed(0xAA, {0x81})))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    ASSERT_TRUE(wait_until([] { return first_count() > 10; }));
    console_.clear();
    const auto begin = Clock::now();
    ORMA_Cli_Stop();
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(200));
    feeding = false;
    feeder.join();
    EXPECT_EQ(console_.text(ConsoleStream::Err),
              "ORMA_Cli_Stop: ReceiveThread terminated\nORMA_Cli_Stop: Closing com interface\n");
}

TEST_F(LinkClientTest, PeerThatClosesEndsReceptionAndLaterSendsFail)
{
    start();
    send(framed(0xAA, {0x81}));
    ASSERT_TRUE(wait_until([] { return first_count() == 1; }));
    testsock::close(peer_);
    peer_ = testsock::NONE;
    ASSERT_TRUE(wait_until([&] { return console_.has(ConsoleStream::Out, "Remote instance closed connection\n"); }));

    const uint8_t message[] = {0x01, 0x02};
    EXPECT_EQ(frame_send(ORMA_Cli_Ops(), 0xAA, message, 2), 0); // the frame writer reports nothing
    const auto err = console_.text(ConsoleStream::Err);
    EXPECT_EQ(err.rfind("send() failed: error ", 0), 0u) << err;
    EXPECT_EQ(err.back(), '\n');

    console_.clear();
    EXPECT_EQ(ORMA_Cli_Stop(), 0);
    // The thread has closed the link already: nothing left to close.
    EXPECT_EQ(console_.text(ConsoleStream::Err), "ORMA_Cli_Stop: ReceiveThread terminated\n");
}

TEST_F(LinkClientTest, OpenFailureIsReportedAndStopHasNothingToClose)
{
    LinkConfig config{};
    config.type = LINK_TCP;
    config.tcp.port = testsock::free_port();
    std::strcpy(config.tcp.address, "127.0.0.1");
    ORMA_Cli_Configure(&config);
    EXPECT_EQ(ORMA_Cli_Start(), -1);
    const auto err = console_.text(ConsoleStream::Err);
    EXPECT_EQ(err.rfind("connect() failed: ", 0), 0u) << err;
    EXPECT_EQ(err.substr(err.size() - 16), "\nOpen() failed\n!");
    console_.clear();
    EXPECT_EQ(ORMA_Cli_Stop(), 0);
    EXPECT_TRUE(console_.lines().empty());
}

TEST_F(LinkClientTest, SendsGoOutAsFramesOnTheLink)
{
    start();
    const Bytes message(255, 0x41);
    EXPECT_EQ(frame_send(ORMA_Cli_Ops(), 0xAA, message.data(), 255), 0);
    Bytes got;
    uint8_t chunk[512];
    while (got.size() < 258) {
        const int n = testsock::recv_some(peer_, chunk, sizeof chunk, 5000);
        ASSERT_GT(n, 0);
        got.insert(got.end(), chunk, chunk + n);
    }
    EXPECT_EQ(got, framed(0xAA, message));
}

} // namespace
