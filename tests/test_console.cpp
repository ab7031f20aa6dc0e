// The console lines of the links: without a hook they reach the standard output and error even
// when those are redirected, in the order written; with a hook they go to it alone.
#include "support/console.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_hooked;

void hook(ConsoleStream stream, const char* text)
{
    g_hooked.push_back((stream == ConsoleStream::Out ? "out:" : "err:") + std::string(text));
}

TEST(Console, RedirectedOutputKeepsTheLinesInOrder)
{
    console_set_hook(nullptr);
    StdoutCapture capture;
    capture.start();
    console_fetch_handles(); // the link client fetches the handles at start, as here
    console_write(ConsoleStream::Out, "ORMA_Cli_Start()\n");
    console_print(ConsoleStream::Out, "Client connecting to: %s\n", "127.0.0.1");
    console_write(ConsoleStream::Out, "ClientReceiveThread started\n");
    EXPECT_EQ(capture.stop(), "ORMA_Cli_Start()\nClient connecting to: 127.0.0.1\nClientReceiveThread started\n");

    testing::internal::CaptureStderr();
    console_fetch_handles();
    console_write(ConsoleStream::Err, "Open() failed\n!");
    console_print(ConsoleStream::Err, "connect() failed: %d\n", 10061);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Open() failed\n!connect() failed: 10061\n");
}

TEST(Console, HookTakesEveryLineInstead)
{
    g_hooked.clear();
    EXPECT_EQ(console_set_hook(hook), nullptr);
    StdoutCapture capture;
    capture.start();
    console_write(ConsoleStream::Out, "a\n");
    console_print(ConsoleStream::Err, "b %d\n", 2);
    EXPECT_EQ(capture.stop(), "");
    EXPECT_EQ(console_set_hook(nullptr), hook);
    EXPECT_EQ(g_hooked, (std::vector<std::string>{"out:a\n", "err:b 2\n"}));
}

} // namespace
