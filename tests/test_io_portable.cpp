// The parts of the device I/O layer that every system builds: the names of the sixteen pipes and
// the labelled hex dump.
#include "io/pipe_name.h"
#include "io/trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

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

std::string dump(const std::vector<uint8_t>& bytes, const char* label)
{
    FILE* out = std::tmpfile();
    HexDumpTo(out, bytes.data(), static_cast<uint32_t>(bytes.size()), 16, label);
    std::string text(static_cast<size_t>(std::ftell(out)), '\0');
    std::rewind(out);
    text.resize(std::fread(text.data(), 1, text.size(), out));
    std::fclose(out);
    return text;
}

// Every line begins with a line break, the label and the offset; bytes 0x20 to 0x7F show as
// themselves, the others as full stops; a short last line keeps the separator in its column.
TEST(HexDump, ExactLayout)
{
    std::vector<uint8_t> bytes = {0x1F, 0x20, 0x41, 0x7E, 0x7F, 0x80, 0xFF, 0x0A, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,
                                  0x61, 0x20, 0x7F, 0x80};
    EXPECT_EQ(dump(bytes, "R"), "\nR:0000: 1f 20 41 7e 7f 80 ff 0a 30 31 32 33 34 35 36 37 : . A~\x7f...01234567"
                                "\nR:0010: 61 20 7f 80" + std::string(12 * 3, ' ') + " : a \x7f.\n");
    bytes.resize(16);
    EXPECT_EQ(dump(bytes, nullptr), "\n:0000: 1f 20 41 7e 7f 80 ff 0a 30 31 32 33 34 35 36 37 : . A~\x7f...01234567\n");
    EXPECT_EQ(dump({}, "S"), "");
    std::string last = "\nS:100a0:"; // lower-case offsets; past 0xFFFF they take more digits
    for (int i = 0; i < 16; ++i)
        last += " 41";
    const std::string text = dump(std::vector<uint8_t>(0x100B0, 0x41), "S");
    EXPECT_TRUE(text.ends_with(last + " : " + std::string(16, 'A') + "\n")) << text.substr(text.size() - 80);
}
