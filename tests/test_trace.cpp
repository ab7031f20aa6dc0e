// The hex dump layout and the trace category table.
#include "io/trace.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string dump(const std::vector<uint8_t>& bytes, const char* label, int per_line = 16)
{
    FILE* f = std::tmpfile();
    HexDumpTo(f, bytes.data(), static_cast<uint32_t>(bytes.size()), per_line, label);
    std::string out(static_cast<size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    const size_t n = std::fread(out.data(), 1, out.size(), f);
    out.resize(n);
    std::fclose(f);
    return out;
}

std::vector<uint8_t> range(size_t n, uint8_t first = 0x41)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(first + i);
    return v;
}

TEST(HexDump, TwentyBytesGiveAFullLineAndAPaddedRest)
{
    const std::string expected = "\nR:0000: 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 : ABCDEFGHIJKLMNOP"
                                 "\nR:0010: 51 52 53 54" +
                                 std::string(12 * 3, ' ') + " : QRST\n";
    EXPECT_EQ(dump(range(20), "R"), expected);
}

TEST(HexDump, ExactlyOneLineHasNoRestLine)
{
    EXPECT_EQ(dump(range(16), "S"), "\nS:0000: 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 : ABCDEFGHIJKLMNOP\n");
}

TEST(HexDump, OneByteIsPaddedToAFullLine)
{
    EXPECT_EQ(dump({0x41}, "PipeRd"), "\nPipeRd:0000: 41" + std::string(15 * 3, ' ') + " : A\n");
}

TEST(HexDump, NothingForEmptyOrNullData)
{
    EXPECT_EQ(dump({}, "R"), "");
    FILE* f = std::tmpfile();
    HexDumpTo(f, nullptr, 5, 16, "R");
    EXPECT_EQ(std::ftell(f), 0);
    std::fclose(f);
}

TEST(HexDump, NullLabelAndCharacterClasses)
{
    // Printable is 0x20 to 0x7F inclusive; control bytes and 0x80 up show as full stops.
    EXPECT_EQ(dump({0x41, 0x0A, 0xC4, 0x20, 0x7F, 0x80, 0x1F}, nullptr),
              "\n:0000: 41 0a c4 20 7f 80 1f" + std::string(9 * 3, ' ') + " : A.. \x7f..\n");
}

TEST(HexDump, OffsetsPastFourDigitsGrow)
{
    const std::string out = dump(std::vector<uint8_t>(0x10010, 0x2E), "R");
    EXPECT_NE(out.find("\nR:fff0: 2e"), std::string::npos);
    EXPECT_NE(out.find("\nR:10000: 2e"), std::string::npos);
    EXPECT_NE(out.find("\nR:10000: 2e 2e 2e 2e 2e 2e 2e 2e 2e 2e 2e 2e 2e 2e 2e 2e : ................\n"), std::string::npos);
}

TEST(TraceCategories, NamesAreBlankFilledToTheLongest)
{
    const uint32_t masks[] = {TRACE_METHODS, TRACE_THREAD, TRACE_HOST_TO_DEVICE, TRACE_DEVICE_TO_HOST};
    const char* names[] = {"methods", "thread", "host-to-device messages", "device-to-host messages"};
    for (int i = 0; i < TRACE_CATEGORY_COUNT; ++i) {
        EXPECT_EQ(TRACE_CATEGORIES[i].mask, masks[i]);
        std::string expected = names[i];
        expected.resize(TRACE_NAME_WIDTH, ' ');
        EXPECT_EQ(std::string(TRACE_CATEGORIES[i].name), expected);
    }
}

} // namespace
