// The TCP transport's server role, which the library's modes do not use, against sockets of the
// test over loopback. The client role runs under the link client and the end-to-end tests.
#include "link/tcp_link.h"
#include "console_capture.h"
#include "link_sock.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>

namespace {

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
    ConsoleCapture console_;
    LinkOps ops_{};
    testsock::Socket listener_ = testsock::NONE;
    testsock::Socket peer_ = testsock::NONE;
};

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
    server.join();
    ASSERT_EQ(opened, 0);
    const auto out = console_.text(ConsoleStream::Out);
    EXPECT_TRUE(std::regex_match(out, std::regex(listening + "accepted connection from 127\\.0\\.0\\.1, port [1-9][0-9]*\n")))
        << out;

    ASSERT_TRUE(testsock::send_all(peer_, {0xCC, 0x01, 0xF0, 0xBD}));
    uint8_t in[4];
    ASSERT_TRUE(wait_until([&] { return ops_.read_timeout(ops_.context, in, 4, 100) == 4; })); // loopback: at once
    EXPECT_EQ(Bytes(in, in + 4), (Bytes{0xCC, 0x01, 0xF0, 0xBD}));
    EXPECT_EQ(ops_.write(ops_.context, in, 4), 4);
    uint8_t back[4];
    EXPECT_EQ(testsock::recv_some(peer_, back, 4, 5000), 4);
    EXPECT_EQ(ops_.close(ops_.context), 0);
    EXPECT_EQ(testsock::recv_some(peer_, back, 1, 5000), -1); // the server side has gone
}

TEST_F(TcpTest, ServerOnAPortInUseFailsToBind)
{
    uint16_t port = 0;
    listener_ = testsock::listen_loopback(&port);
    ASSERT_EQ(tcp_install(&ops_, "127.0.0.1", port, TCP_ROLE_SERVER), 0);
    EXPECT_EQ(ops_.open(ops_.context), -1);
    EXPECT_TRUE(std::regex_match(console_.text(ConsoleStream::Err), std::regex("bind\\(\\) failed with error [0-9]+\n")))
        << console_.text(ConsoleStream::Err);
    ops_ = LinkOps{};
}

} // namespace
