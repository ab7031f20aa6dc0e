// The TCP transport on its own, in both roles, against sockets of the test over loopback.
#include "link/tcp_link.h"
#include "console_capture.h"
#include "link_sock.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class TcpTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(testsock::init()); }
    void TearDown() override
    {
        if (ops_.close)
            ops_.close(ops_.context);
        testsock::close(peer_);
        testsock::close(listener_);
    }

    // The transport as client of a listener of the test.
    void connect_client()
    {
        uint16_t port = 0;
        listener_ = testsock::listen_loopback(&port);
        ASSERT_NE(listener_, testsock::NONE);
        ASSERT_EQ(tcp_install(&ops_, nullptr, port, TCP_ROLE_CLIENT), 0);
        ASSERT_EQ(ops_.open(ops_.context), 0);
        peer_ = testsock::accept_one(listener_, 5000);
        ASSERT_NE(peer_, testsock::NONE);
    }

    // Reads through the transport until `count` bytes are in.
    Bytes read_exactly(size_t count)
    {
        Bytes got;
        uint8_t chunk[64];
        while (got.size() < count) {
            const int n = ops_.read(ops_.context, chunk, static_cast<int>(std::min(sizeof chunk, count - got.size())));
            if (n <= 0)
                break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    Bytes peer_read(size_t count)
    {
        Bytes got;
        uint8_t chunk[64];
        while (got.size() < count) {
            const int n = testsock::recv_some(peer_, chunk, sizeof chunk, 5000);
            if (n <= 0)
                break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    ConsoleCapture console_;
    LinkOps ops_{};
    testsock::Socket listener_ = testsock::NONE;
    testsock::Socket peer_ = testsock::NONE;
};

TEST_F(TcpTest, ClientConnectsToLoopbackAndCarriesBothDirections)
{
    connect_client();
    EXPECT_EQ(console_.text(ConsoleStream::Out), "Client connecting to: 127.0.0.1\n");
    ASSERT_TRUE(testsock::send_all(peer_, {0xAA, 0x01, 0x81, 0x2C}));
    EXPECT_EQ(read_exactly(4), (Bytes{0xAA, 0x01, 0x81, 0x2C}));
    const Bytes out = {0x55, 0x03, 0x40, 0x01, 0x02, 0x9B};
    EXPECT_EQ(ops_.write(ops_.context, out.data(), 6), 6);
    EXPECT_EQ(peer_read(6), out);
    EXPECT_EQ(console_.text(ConsoleStream::Err), "");
}

TEST_F(TcpTest, ReadWithTimeLimitReturnsZeroOnASilentConnection)
{
    connect_client();
    uint8_t buffer[16];
    const auto begin = Clock::now();
    EXPECT_EQ(ops_.read_timeout(ops_.context, buffer, sizeof buffer, 150), 0);
    const auto waited = Clock::now() - begin;
    EXPECT_GE(waited, milliseconds(140));
    EXPECT_LT(waited, milliseconds(2000));
    // Data that is there is returned at once.
    ASSERT_TRUE(testsock::send_all(peer_, {1, 2, 3}));
    ASSERT_TRUE(wait_until([&] {
        const int n = ops_.read_timeout(ops_.context, buffer, sizeof buffer, 50);
        return n != 0;
    }));
    EXPECT_EQ(console_.text(ConsoleStream::Err), "");
}

TEST_F(TcpTest, PeerThatClosesEndsReadingAndLaterSendsFail)
{
    connect_client();
    console_.clear();
    testsock::close(peer_);
    peer_ = testsock::NONE;
    uint8_t buffer[16];
    EXPECT_EQ(ops_.read(ops_.context, buffer, sizeof buffer), -1);
    EXPECT_EQ(console_.text(ConsoleStream::Out), "Remote instance closed connection\n");
    EXPECT_EQ(console_.text(ConsoleStream::Err), "");
    const uint8_t frame[] = {0xAA, 0x01, 0x01, 0xAC};
    EXPECT_EQ(ops_.write(ops_.context, frame, 4), -1);
    EXPECT_TRUE(std::regex_match(console_.text(ConsoleStream::Err), std::regex("send\\(\\) failed: error [0-9]+\n")))
        << console_.text(ConsoleStream::Err);
    // A read after the end fails again instead of waiting.
    EXPECT_EQ(ops_.read(ops_.context, buffer, sizeof buffer), -1);
    EXPECT_EQ(ops_.close(ops_.context), 0);
}

TEST_F(TcpTest, WakeEndsABlockedReadWithoutALineUntilTheNextOpen)
{
    connect_client();
    console_.clear();
    std::atomic<int> result{1};
    std::thread reader([&] {
        uint8_t buffer[16];
        result = ops_.read(ops_.context, buffer, sizeof buffer);
    });
    std::this_thread::sleep_for(milliseconds(50)); // let it block; the result does not depend on it
    const auto begin = Clock::now();
    EXPECT_EQ(ops_.wake(ops_.context), 0);
    reader.join();
    EXPECT_LT(Clock::now() - begin, milliseconds(200));
    EXPECT_EQ(result, -1);
    uint8_t buffer[4];
    EXPECT_EQ(ops_.read_timeout(ops_.context, buffer, sizeof buffer, 5000), -1);
    EXPECT_TRUE(console_.lines().empty());
    ops_.close(ops_.context);
    testsock::close(peer_);

    // Opened again, the link reads normally.
    ASSERT_EQ(ops_.open(ops_.context), 0);
    peer_ = testsock::accept_one(listener_, 5000);
    ASSERT_NE(peer_, testsock::NONE);
    ASSERT_TRUE(testsock::send_all(peer_, {7}));
    EXPECT_EQ(read_exactly(1), Bytes{7});
}

TEST_F(TcpTest, ClientWithoutPeerFailsToOpen)
{
    ASSERT_EQ(tcp_install(&ops_, "127.0.0.1", testsock::free_port(), TCP_ROLE_CLIENT), 0);
    EXPECT_EQ(ops_.open(ops_.context), -1);
    EXPECT_EQ(console_.text(ConsoleStream::Out), "Client connecting to: 127.0.0.1\n");
    EXPECT_TRUE(std::regex_match(console_.text(ConsoleStream::Err), std::regex("connect\\(\\) failed: [0-9]+\n")))
        << console_.text(ConsoleStream::Err);
    ops_ = LinkOps{};
}

TEST_F(TcpTest, ServerListensAcceptsOneConnectionAndCarriesBothDirections)
{
    const uint16_t port = testsock::free_port();
    ASSERT_EQ(tcp_install(&ops_, nullptr, port, TCP_ROLE_SERVER), 0);
    std::atomic<int> opened{1};
    std::thread server([&] { opened = ops_.open(ops_.context); });
    const std::string listening = "Server listening on port " + std::to_string(port) + "\n";
    ASSERT_TRUE(wait_until([&] { return console_.has(ConsoleStream::Out, listening); }));
    EXPECT_EQ(opened, 1); // still waiting for a peer
    peer_ = testsock::connect_loopback(port);
    ASSERT_NE(peer_, testsock::NONE);
    server.join();
    ASSERT_EQ(opened, 0);
    const auto out = console_.text(ConsoleStream::Out);
    EXPECT_TRUE(std::regex_match(out, std::regex(listening + "accepted connection from 127\\.0\\.0\\.1, port [1-9][0-9]*\n")))
        << out;

    ASSERT_TRUE(testsock::send_all(peer_, {0xCC, 0x01, 0xF0, 0xBD}));
    EXPECT_EQ(read_exactly(4), (Bytes{0xCC, 0x01, 0xF0, 0xBD}));
    const Bytes out_bytes = {0xAA, 0x01, 0x81, 0x2C};
    EXPECT_EQ(ops_.write(ops_.context, out_bytes.data(), 4), 4);
    EXPECT_EQ(peer_read(4), out_bytes);
    EXPECT_EQ(ops_.close(ops_.context), 0);
    ops_ = LinkOps{};
    uint8_t byte;
    EXPECT_EQ(testsock::recv_some(peer_, &byte, 1, 5000), -1); // the server side has gone
}

TEST_F(TcpTest, ServerOnAPortInUseFailsToBind)
{
    uint16_t port = 0;
    listener_ = testsock::listen_loopback(&port);
    ASSERT_NE(listener_, testsock::NONE);
    ASSERT_EQ(tcp_install(&ops_, "127.0.0.1", port, TCP_ROLE_SERVER), 0);
    EXPECT_EQ(ops_.open(ops_.context), -1);
    EXPECT_TRUE(std::regex_match(console_.text(ConsoleStream::Err), std::regex("bind\\(\\) failed with error [0-9]+\n")))
        << console_.text(ConsoleStream::Err);
    ops_ = LinkOps{};
}

} // namespace
