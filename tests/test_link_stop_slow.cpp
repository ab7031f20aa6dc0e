// A receive thread held up in a callback for longer than the stop waits: the stop gives up
// after 10000 ms with its line, closes the link, and the thread ends by itself once released.
#include "link/link_client.h"
#include "console_capture.h"
#include "link_sock.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

namespace {

using namespace std::chrono_literals;

std::atomic<bool> g_release{false};
std::atomic<int> g_entered{0};
std::atomic<int> g_left{0};

int32_t blocking_callback(const uint8_t*, int32_t)
{
    ++g_entered;
    wait_until([] { return g_release.load(); }, 60s);
    ++g_left;
    return 0;
}

TEST(LinkStopSlow, ThreadThatDoesNotEndIsGivenUpAfterTheBound)
{
    ASSERT_TRUE(testsock::init());
    ConsoleCapture console;
    LinkConfig config{};
    config.type = LINK_TCP;
    const testsock::Socket listener = testsock::listen_loopback(&config.tcp.port);
    std::strcpy(config.tcp.address, "127.0.0.1");
    ORMA_Cli_Configure(&config);
    ORMA_Cli_SetCallbacks(blocking_callback, nullptr);
    ASSERT_EQ(ORMA_Cli_Start(), 0);
    const testsock::Socket peer = testsock::accept_one(listener, 5000);
    ASSERT_TRUE(testsock::send_all(peer, framed(0xAA, {0x81})));
    ASSERT_TRUE(wait_until([] { return g_entered == 1; }));

    console.clear();
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(ORMA_Cli_Stop(), 0);
    const auto waited = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(waited, 9900ms);
    EXPECT_LT(waited, 12000ms);
    EXPECT_EQ(console.text(ConsoleStream::Err),
              "ORMA_Cli_Stop: ReceiveThread hasn't terminated\nORMA_Cli_Stop: Closing com interface\n");

    g_release = true;
    ASSERT_TRUE(wait_until([] { return g_left == 1; }));
    // The thread sees the stop when it gets back and reads no more; a new start works.
    ASSERT_EQ(ORMA_Cli_Start(), 0);
    const testsock::Socket peer2 = testsock::accept_one(listener, 5000);
    EXPECT_NE(peer2, testsock::NONE);
    EXPECT_EQ(ORMA_Cli_Stop(), 0);
    EXPECT_EQ(g_entered, 1);
    for (const testsock::Socket s : {peer2, peer, listener})
        testsock::close(s);
}

} // namespace
