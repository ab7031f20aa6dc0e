// The hex dump layout: full lines, a rest padded to the separator, the character column, labels
// and offsets.
#include "io/trace.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string dump(const Bytes& bytes, const char* label)
{
    FILE* f = std::tmpfile();
    HexDumpTo(f, bytes.empty() ? nullptr : bytes.data(), static_cast<uint32_t>(bytes.size()), 16, label);
    std::string out(static_cast<size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    out.resize(std::fread(out.data(), 1, out.size(), f));
    std::fclose(f);
    return out;
}

Bytes letters(size_t n)
{
    Bytes v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(0x41 + i);
    return v;
}

TEST(HexDump, LinesOfSixteenWithThePaddedRest)
{
    const std::string full = "\nR:0000: 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 : ABCDEFGHIJKLMNOP";
    EXPECT_EQ(dump(letters(16), "R"), full + "\n");
    EXPECT_EQ(dump(letters(20), "R"), full + "\nR:0010: 51 52 53 54" + std::string(12 * 3, ' ') + " : QRST\n");
    // Printable is 0x20 to 0x7F; a null label leaves the colon.
    EXPECT_EQ(dump({0x41, 0x0A, 0xC4, 0x20, 0x7F, 0x80, 0x1F}, nullptr),
              "\n:0000: 41 0a c4 20 7f 80 1f" + std::string(9 * 3, ' ') + " : A.. \x7f..\n");
    EXPECT_EQ(dump({}, "R"), "");
    const std::string big = dump(Bytes(0x10010, 0x2E), "S");
    EXPECT_NE(big.find("\nS:fff0: 2e"), std::string::npos);
    EXPECT_NE(big.find("\nS:10000: 2e 2e 2e 2e 2e 2e 2e 2e 2e 2e 2e 2e 2e 2e 2e 2e : ................\n"), std::string::npos);
}

} // namespace
