// The console lines of the links without a hook (the other tests capture them through one): they
// reach the standard output and error even when those are redirected, in the order written.
#include "support/console.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

// [ORMA_CONSOLE] Output: both kinds of line (console handles and runtime streams) go where it
// says, texts unchanged; a file collects them appended, in order.
TEST(Console, OutputSendsEveryLineWhereTheSettingSays)
{
    console_set_hook(nullptr);
    std::remove("console_lines.txt");
    const struct {
        const char* value;
        const char* out;
        const char* err;
        const char* file;
    } cases[] = {
        {"DEFAULT", "ORMA_Cli_Start()\nClient connecting to: 127.0.0.1\n", "Open() failed\n!connect() failed: 111\n", ""},
        {"stderr", "", "ORMA_Cli_Start()\nOpen() failed\n!Client connecting to: 127.0.0.1\nconnect() failed: 111\n", ""},
        {"Off", "", "", ""},
        {"console_lines.txt", "", "",
         "ORMA_Cli_Start()\nOpen() failed\n!Client connecting to: 127.0.0.1\nconnect() failed: 111\n"},
        {"console_lines.txt", "", "", // the same file again: appended
         "ORMA_Cli_Start()\nOpen() failed\n!Client connecting to: 127.0.0.1\nconnect() failed: 111\n"
         "ORMA_Cli_Start()\nOpen() failed\n!Client connecting to: 127.0.0.1\nconnect() failed: 111\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_TRUE(console_set_output(c.value));
        StdoutCapture out;
        out.start();
        testing::internal::CaptureStderr();
        console_fetch_handles();
        console_write(ConsoleStream::Out, "ORMA_Cli_Start()\n");
        console_write(ConsoleStream::Err, "Open() failed\n!");
        console_print(ConsoleStream::Out, "Client connecting to: %s\n", "127.0.0.1");
        console_print(ConsoleStream::Err, "connect() failed: %d\n", 111);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(out.stop(), c.out);
        EXPECT_EQ(err, c.err);
        console_set_output("DEFAULT"); // closes the file
        if (*c.file) {
            EXPECT_EQ(read_text_file("console_lines.txt"), c.file);
        }
    }
    // A file that cannot be opened: one line says so, and the lines keep their streams.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(console_set_output("no_such_folder/console.txt"));
    console_print(ConsoleStream::Err, "recv() failed: error %d\n", 104);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot open the console output file \"no_such_folder/console.txt\""), std::string::npos) << err;
    EXPECT_NE(err.find("recv() failed: error 104\n"), std::string::npos) << err;
    std::remove("console_lines.txt");
}

// The host's log callback takes every line in the outputs' place, whatever Output says, whichever
// way it was written: one call per line without its line end, the level by stream, the spinner's
// carriage return left out; the outputs get nothing until it is taken away again.
std::vector<std::pair<int32_t, std::string>> g_logged;

void logged(int32_t level, const char* line)
{
    g_logged.emplace_back(level, line);
}

TEST(Console, LogCallbackTakesEveryLineInsteadOfTheOutputs)
{
    console_set_hook(nullptr);
    for (const char* output : {"DEFAULT", "OFF", "STDERR"}) {
        SCOPED_TRACE(output);
        EXPECT_TRUE(console_set_output(output));
        g_logged.clear();
        console_set_log_callback(logged);
        StdoutCapture out;
        out.start();
        testing::internal::CaptureStderr();
        console_write(ConsoleStream::Progress, "ORMA_Cli_Start()\n");
        console_print(ConsoleStream::Progress, "Client connecting to: %s\n", "127.0.0.1");
        console_write(ConsoleStream::Err, "Open() failed\n!");
        console_print(ConsoleStream::Out, "Unable to open configuration file \"%s\"\n", "x.ini");
        console_print(ConsoleStream::Progress, "\r%c", '|');
        console_print(ConsoleStream::Out, "\nXX\nYY\n");
        console_set_log_callback(nullptr);
        EXPECT_EQ(out.stop(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        const std::vector<std::pair<int32_t, std::string>> expected{
            {2, "ORMA_Cli_Start()"}, {2, "Client connecting to: 127.0.0.1"}, {0, "Open() failed"}, {0, "!"},
            {1, "Unable to open configuration file \"x.ini\""}, {2, "|"}, {1, "XX"}, {1, "YY"}};
        EXPECT_EQ(g_logged, expected);
    }
    EXPECT_TRUE(console_set_output("DEFAULT"));
    StdoutCapture out;
    out.start();
    console_print(ConsoleStream::Progress, "Client connecting to: %s\n", "127.0.0.1");
    EXPECT_EQ(out.stop(), "Client connecting to: 127.0.0.1\n") << "the console is back, progress on the output";
}

} // namespace
