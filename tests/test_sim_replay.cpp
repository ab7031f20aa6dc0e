// The simulator's replay of a capture: which recorded answer each command gets (same bytes
// first, then same code, each recorded command once and in order), the notifications that
// followed no command, and the records it leaves out; and the capture it writes itself.
#include "capture/pcapng.h"
#include "sim_capture.h"
#include "sim_replay.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

namespace cap = orma_capture;

cap::Record rec(uint64_t time_us, uint8_t direction, Bytes bytes, uint8_t flags = 0, uint8_t origin = cap::FROM_LINK)
{
    cap::Record r;
    r.time_us = time_us;
    r.header.direction = direction;
    r.header.origin = origin;
    r.header.flags = flags;
    r.bytes = std::move(bytes);
    return r;
}

// Answers as the host would see them: the recorded messages, "noise" for recorded noise.
std::vector<Bytes> messages(const std::vector<sim::Step>& steps)
{
    std::vector<Bytes> out;
    for (const sim::Step& s : steps)
        out.push_back(s.kind == sim::Step::MESSAGE ? s.bytes : Bytes{});
    return out;
}

TEST(SimReplay, CommandsGetTheAnswerOfTheirFirstUnusedMatchBytesFirstThenCode)
{
    using cap::TO_HOST, cap::TO_MODULE;
    const std::vector<cap::Record> records = {
        rec(1000, TO_HOST, {0xE0, 0x46, 0x01}), // before any command: a notification
        rec(2000, TO_MODULE, sim::make_frame(0x55, {0x01}), cap::FRAME),
        rec(2100, TO_HOST, {0x81, 0x0A}),
        rec(3000, TO_MODULE, {0x01}),
        rec(3100, TO_HOST, {0x13, 0x37}, cap::NOISE), // noise goes with the frame after it
        rec(3101, TO_HOST, sim::make_frame(0x55, {0x81, 0x0B}), cap::FRAME),
        rec(4000, TO_MODULE, {0x40, 0x01}),
        rec(4100, TO_HOST, {0xE0, 0x46, 0x02}), // before the response: part of the answer
        rec(4200, TO_HOST, {0x80, 0x01}),
        rec(5000, TO_MODULE, {0x40, 0x02}),
        rec(5100, TO_HOST, {0x85}, 0, cap::MADE_UP), // the library's own: never crossed the link
        rec(5200, TO_HOST, {0x80, 0x02}),
        rec(9000, TO_HOST, {0xF0, 0x02}), // after the response: unasked
    };
    sim::Replay replay(records, 2.0);
    const struct {
        Bytes command;
        std::vector<Bytes> answer; // empty: unmatched
    } cases[] = {
        {{0x01}, {{0x81, 0x0A}}},
        {{0x40, 0x02}, {{0x80, 0x02}}},                          // its own bytes, not the first 40
        {{0x40, 0x77}, {{0xE0, 0x46, 0x02}, {0x80, 0x01}}},      // no such bytes: the first unused 40
        {{0x01, 0x05}, {{}, {0x81, 0x0B}}},                      // the second 01, with its noise
        {{0x01}, {}},                                            // every 01 used
        {{0x22}, {}},                                            // never recorded
    };
    for (const auto& c : cases) {
        const std::vector<sim::Step>* answer = replay.answer(c.command.data(), c.command.size());
        EXPECT_EQ(answer ? messages(*answer) : std::vector<Bytes>{}, c.answer) << hex(c.command);
    }
    EXPECT_EQ(replay.matched(), 4);
    EXPECT_EQ(replay.unmatched(), 2);

    // The notifications at their offsets from the first record, twice as fast.
    const auto start = sim::Clock::now();
    EXPECT_EQ(replay.next_due(), sim::Clock::time_point::max()) << "no clock before the first connection";
    replay.begin(start);
    sim::Step step;
    ASSERT_TRUE(replay.due(start, step));
    EXPECT_EQ(step.bytes, (Bytes{0xE0, 0x46, 0x01}));
    EXPECT_FALSE(replay.due(start, step));
    EXPECT_EQ(replay.next_due() - start, std::chrono::microseconds(4000)); // (9000 - 1000) / 2
    ASSERT_TRUE(replay.due(start + std::chrono::milliseconds(4), step));
    EXPECT_EQ(step.bytes, (Bytes{0xF0, 0x02}));
    EXPECT_FALSE(replay.due(start + std::chrono::hours(1), step)) << "the made-up 85 is no notification";
    EXPECT_EQ(replay.summary(), "replay: matched 4, unmatched 2, notifications sent 2");
}

// The module's own capture: every record flagged as the module's, of the role's mode, in time
// stamps that only increase, frames with their start byte and flag.
TEST(SimReplay, CaptureRecordsTheModulesSide)
{
    const std::string path = "sim_capture.pcapng";
    {
        sim::Capture capture(path, 2);
        capture.link(true);
        capture.received(sim::make_frame(0xAA, {0x01}), 0xAA);
        capture.sent({0x13}, 0, cap::NOISE);
        capture.sent(sim::make_frame(0xAA, {0x81}, true), 0xAA, cap::BAD_SUM);
        capture.link(false);
    }
    std::vector<cap::Record> records;
    std::string error;
    ASSERT_TRUE(cap::read_file(path.c_str(), records, error)) << error;
    std::remove(path.c_str());
    const struct {
        uint8_t direction, start, flags;
        Bytes bytes;
    } expected[] = {
        {cap::NO_DIRECTION, 0, cap::LINK, {cap::LINK_UP}},
        {cap::TO_MODULE, 0xAA, cap::FRAME, sim::make_frame(0xAA, {0x01})},
        {cap::TO_HOST, 0, cap::NOISE, {0x13}},
        {cap::TO_HOST, 0xAA, cap::BAD_SUM, sim::make_frame(0xAA, {0x81}, true)},
        {cap::NO_DIRECTION, 0, cap::LINK, {cap::LINK_DOWN}},
    };
    ASSERT_EQ(records.size(), std::size(expected));
    for (size_t i = 0; i < records.size(); ++i) {
        const cap::Record& r = records[i];
        EXPECT_EQ(r.header.direction, expected[i].direction) << i;
        EXPECT_EQ(r.header.start, expected[i].start) << i;
        EXPECT_EQ(r.header.flags, expected[i].flags | cap::MODULE) << i;
        EXPECT_EQ(r.header.mode, 2) << i;
        EXPECT_EQ(r.bytes, expected[i].bytes) << i;
        if (i > 0) {
            EXPECT_GT(r.time_us, records[i - 1].time_us) << i;
        }
    }
}

} // namespace
