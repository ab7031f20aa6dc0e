// A receive thread held up in a callback for longer than the stop waits: the stop gives up
// after 10000 ms with its line, closes the link, and the thread ends by itself once released.
#include "link/link_client.h"
#include "console_capture.h"
#include "link_sock.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_lock;
std::condition_variable g_cond;
bool g_release = false;
std::atomic<int> g_entered{0};
std::atomic<int> g_left{0};

int32_t blocking_callback(const uint8_t*, int32_t)
{
    ++g_entered;
    std::unique_lock lock(g_lock);
    g_cond.wait(lock, [] { return g_release; });
    ++g_left;
    return 0;
}

TEST(LinkStopSlow, ThreadThatDoesNotEndIsGivenUpAfterTheBound)
{
    ASSERT_TRUE(testsock::init());
    ConsoleCapture console;
    uint16_t port = 0;
    const testsock::Socket listener = testsock::listen_loopback(&port);
    ASSERT_NE(listener, testsock::NONE);
    LinkConfig config{};
    config.type = LINK_TCP;
    config.tcp.port = port;
    std::strcpy(config.tcp.address, "127.0.0.1");
    ORMA_Cli_Configure(&config);
    ORMA_Cli_SetCallbacks(blocking_callback, nullptr);
    ASSERT_EQ(ORMA_Cli_Start(), 0);
    const testsock::Socket peer = testsock::accept_one(listener, 5000);
    ASSERT_NE(peer, testsock::NONE);
    ASSERT_TRUE(testsock::send_all(peer, {0xAA, 0x01, 0x81, 0x2C}));
    ASSERT_TRUE(wait_until([] { return g_entered == 1; }));

    console.clear();
    const auto begin = Clock::now();
    EXPECT_EQ(ORMA_Cli_Stop(), 0);
    const auto waited = Clock::now() - begin;
    EXPECT_GE(waited, std::chrono::milliseconds(9900));
    EXPECT_LT(waited, std::chrono::milliseconds(12000));
    EXPECT_EQ(console.text(ConsoleStream::Err),
              "ORMA_Cli_Stop: ReceiveThread hasn't terminated\nORMA_Cli_Stop: Closing com interface\n");

    {
        std::lock_guard lock(g_lock);
        g_release = true;
    }
    g_cond.notify_all();
    ASSERT_TRUE(wait_until([] { return g_left == 1; }));
    // The thread sees the stop when it gets back and reads no more; a new start works.
    ASSERT_EQ(ORMA_Cli_Start(), 0);
    const testsock::Socket peer2 = testsock::accept_one(listener, 5000);
    ASSERT_NE(peer2, testsock::NONE);
    EXPECT_EQ(ORMA_Cli_Stop(), 0);
    EXPECT_EQ(g_entered, 1);
    testsock::close(peer2);
    testsock::close(peer);
    testsock::close(listener);
}

} // namespace
