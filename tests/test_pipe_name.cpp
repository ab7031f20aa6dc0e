// The names of the sixteen pipes.
#include "io/pipe_name.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

TEST(MakePipeName, NeedsRoomForTwoDigitsAndANumberFrom0To15)
{
    const std::tuple<int32_t, int32_t, const char*> cases[] = { // buffer size, number, name (null: refused)
        {24, 15, "\\\\.\\pipe\\cccNamedPipe15"}, {128, 0, "\\\\.\\pipe\\cccNamedPipe0"}, {23, 15, nullptr},
        {23, 0, nullptr}, {24, -1, nullptr}, {24, 16, nullptr}};
    for (const auto& [size, number, name] : cases) {
        char buffer[128] = "untouched";
        EXPECT_EQ(MakePipeName(buffer, size, number), name != nullptr) << size << " " << number;
        EXPECT_EQ(std::string(buffer), name ? name : "untouched");
    }
    EXPECT_FALSE(MakePipeName(nullptr, 24, 1));
}
