// The console lines of the links without a hook (the other tests capture them through one): they
// reach the standard output and error even when those are redirected, in the order written.
#include "support/console.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

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

} // namespace
