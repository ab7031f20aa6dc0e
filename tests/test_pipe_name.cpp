// The names of the sixteen pipes.
#include "io/pipe_name.h"

#include <gtest/gtest.h>

#include <string>

TEST(MakePipeName, NeedsRoomForTwoDigitsAndANumberFrom0To15)
{
    struct Case {
        int32_t size;
        int32_t number;
        const char* name; // null: refused
    };
    for (const Case c : {Case{24, 15, "\\\\.\\pipe\\cccNamedPipe15"}, Case{128, 0, "\\\\.\\pipe\\cccNamedPipe0"},
                         Case{23, 15, nullptr}, Case{23, 0, nullptr}, Case{24, -1, nullptr}, Case{24, 16, nullptr}}) {
        char buffer[128] = "untouched";
        EXPECT_EQ(MakePipeName(buffer, c.size, c.number), c.name != nullptr) << c.size << " " << c.number;
        EXPECT_EQ(std::string(buffer), c.name ? c.name : "untouched");
    }
    EXPECT_FALSE(MakePipeName(nullptr, 24, 1));
}
