// The library's capture file: what each hook records, the bound, and a file that cannot be written.
#include "capture/capture.h"
#include "console_capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

using namespace orma_capture;

namespace {

std::vector<Record> read_back(const char* name)
{
    std::vector<Record> records;
    std::string error;
    EXPECT_TRUE(read_file(name, records, error)) << error;
    return records;
}

using Bytes = std::vector<uint8_t>;

} // namespace

// Skipped bytes: a whole frame held that fails its sum is a bad frame; the rest is noise, in order.
TEST(Capture, SkippedBytesAreBadFramesAndNoise)
{
    struct Case {
        Bytes skipped;
        std::vector<std::pair<uint8_t, Bytes>> records; // flags, bytes
    };
    const Case cases[] = {
        {{1, 2, 3}, {{NOISE, {1, 2, 3}}}},
        {{0xAA, 1, 0x81, 0x00}, {{FRAME | BAD_SUM, {0xAA, 1, 0x81, 0x00}}}},
        {{7, 0x55, 2, 1, 2, 0, 9}, {{NOISE, {7}}, {FRAME | BAD_SUM, {0x55, 2, 1, 2, 0}}, {NOISE, {9}}}},
        {{0xAA, 9, 1, 2}, {{NOISE, {0xAA, 9, 1, 2}}}}, // its frame goes beyond what was skipped
        {{0xCC, 0, 0xCC}, {{NOISE, {0xCC, 0, 0xCC}}}}, // a length of 0 begins no frame
    };
    for (const Case& c : cases) {
        capture_start("skipped.pcapng", 0, 2);
        capture_skipped(c.skipped.data(), static_cast<int>(c.skipped.size()));
        capture_stop();
        const std::vector<Record> records = read_back("skipped.pcapng");
        ASSERT_EQ(records.size(), c.records.size() + 1); // and the stop
        for (size_t i = 0; i < c.records.size(); ++i) {
            EXPECT_EQ(records[i].header.flags, c.records[i].first) << i;
            EXPECT_EQ(records[i].bytes, c.records[i].second) << i;
            EXPECT_EQ(records[i].header.mode, 2);
        }
        EXPECT_EQ(records.back().header.flags, LINK);
        EXPECT_EQ(records.back().bytes, Bytes{LINK_STOPPED});
    }
}

// A framed link's message is held as its whole frame; a message the link did not take is marked.
TEST(Capture, FramesAndMessagesNotSent)
{
    capture_start("messages.pcapng", 0, 1);
    const uint8_t command[] = {0x40, 1, 2};
    capture_message(TO_MODULE, FROM_LINK, command, 3, 0x55);
    capture_not_sent(command, 2);
    capture_stop();
    const std::vector<Record> records = read_back("messages.pcapng");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].bytes, (Bytes{0x55, 3, 0x40, 1, 2, 0x9B}));
    EXPECT_EQ(records[0].header.flags, FRAME);
    EXPECT_EQ(records[1].header.flags, NOT_SENT);
    EXPECT_EQ(records[1].bytes, (Bytes{0x40, 1}));
}

// MaxSize: the file goes to ".1" when the next record would take it past the bound; each file is
// a capture of its own, and the two hold the last records in order.
TEST(Capture, TheBoundRotatesTheFile)
{
    std::remove("bound.pcapng.1");
    constexpr uint64_t BOUND = 4096;
    capture_start("bound.pcapng", BOUND, 2);
    uint8_t message[100] = {};
    for (uint8_t i = 0; i < 100; ++i) {
        message[0] = i;
        capture_message(TO_HOST, FROM_LINK, message, sizeof message);
    }
    capture_stop();
    const std::vector<Record> older = read_back("bound.pcapng.1");
    const std::vector<Record> newer = read_back("bound.pcapng");
    for (const char* name : {"bound.pcapng", "bound.pcapng.1"}) {
        std::FILE* f = std::fopen(name, "rb");
        ASSERT_NE(f, nullptr);
        std::fseek(f, 0, SEEK_END);
        EXPECT_LE(std::ftell(f), static_cast<long>(BOUND)) << name;
        std::fclose(f);
    }
    ASSERT_GT(older.size(), 20u); // a full file, not one record
    ASSERT_GE(newer.size(), 2u);
    EXPECT_EQ(older.back().bytes[0] + 1, newer.front().bytes[0]);
    EXPECT_EQ(newer[newer.size() - 2].bytes[0], 99);
}

#ifndef _WIN32
// A file that cannot be written: one line, then no more capturing, and no harm.
TEST(Capture, AFileThatCannotBeWrittenSaysSoOnce)
{
    const ConsoleCapture console;
    capture_start("/dev/full", 0, 2);
    ASSERT_TRUE(capture_on());
    const uint8_t message[255] = {1};
    for (int i = 0; i < 2000; ++i)
        capture_message(TO_HOST, FROM_LINK, message, sizeof message);
    EXPECT_FALSE(capture_on());
    capture_stop();
    EXPECT_EQ(console.text(ConsoleStream::Err),
              "ORMA_DLL: capture file \"/dev/full\" cannot be written (disk full?): no more capturing into it\n");
}
#endif
