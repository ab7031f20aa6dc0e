// The shared library as a host program loads it: only the six exports are reachable.
#include "ORMA_DLL.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

TEST(DllExports, QueueingAndComStateThroughTheLibrary)
{
    ASSERT_EQ(ORMA_DLL_Init(0, 2, 0, nullptr), 0);
    const uint8_t cmd[] = {0x01, 0x02, 0x03};
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    EXPECT_EQ(ORMA_DLL_Send_Message(cmd, 3), 0);
    EXPECT_EQ(ORMA_DLL_getComState(), 0);
    EXPECT_EQ(ORMA_DLL_Send_Message(cmd, 1), 0);
    EXPECT_EQ(ORMA_DLL_Loop(), 0);
    EXPECT_EQ(ORMA_DLL_getComState(), 0);
    uint8_t buf[255];
    uint8_t len = 7;
    EXPECT_EQ(ORMA_DLL_Receive_Message(buf, &len), 1);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(ORMA_DLL_Send_Message(nullptr, 3), 1);
    EXPECT_EQ(ORMA_DLL_Exit(), 0);
    EXPECT_EQ(ORMA_DLL_Send_Message(cmd, 3), 1);
}

TEST(DllExports, ProtocolOneLeavesComStateOpen)
{
    ASSERT_EQ(ORMA_DLL_Init(5, 1, 0, nullptr), 0);
    const uint8_t cmd[] = {0x10};
    for (int i = 0; i < 3000; ++i) // dropped at once: the heap table never fills
        ASSERT_EQ(ORMA_DLL_Send_Message(cmd, 1), 0);
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    EXPECT_EQ(ORMA_DLL_Exit(), 0);
}

} // namespace
