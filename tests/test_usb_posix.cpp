// Linux has no USB link: modes 3 and 4 say so in one console line, start nothing and behave as any
// mode without a link (no wait, messages dropped, nothing received).
#include "ORMA_DLL.h"
#include "console_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

TEST(UsbModes, NeedWindowsInOneLineAndStartNothing)
{
    const auto threads = [] {
        const std::filesystem::directory_iterator tasks("/proc/self/task");
        return std::distance(begin(tasks), end(tasks));
    };
    std::ofstream("ORMA_DLL_Log.ini").flush(); // empty: no line about a missing configuration
    for (const int32_t mode : {3, 4}) {
        ConsoleCapture console;
        const long before = threads();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ORMA_DLL_Init(mode, 2, 0, nullptr), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
        EXPECT_EQ(threads(), before);
        const uint8_t command[] = {0x01};
        uint8_t buffer[255];
        uint8_t length = 0;
        EXPECT_EQ(ORMA_DLL_Send_Message(command, 1), 0);
        EXPECT_EQ(ORMA_DLL_Receive_Message(buffer, &length), 1);
        EXPECT_EQ(ORMA_DLL_Exit(), 0);
        EXPECT_EQ(console.text(ConsoleStream::Err), "ORMA_DLL: modes 3 and 4 (USB) need Windows; no link is started.\n");
        EXPECT_EQ(console.text(ConsoleStream::Out), "");
    }
}
