// The link frame and the reassembly scan: frame format, frames that arrive in pieces, noise and
// the quiet-line rule. (A full buffer's room is the receive thread's test and the fuzz target's.)
#include "link/frame.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

Bytes g_written;

int record_write(void*, const uint8_t* bytes, int count, int)
{
    g_written.assign(bytes, bytes + count);
    return count;
}

TEST(FrameFormat, SendBuildsWholeFramesAndCheckNamesTheFirstFault)
{
    LinkOps ops{};
    ops.write = record_write;
    EXPECT_EQ(frame_send(&ops, 0xAA, Bytes{0x81}.data(), 1, 1000), 0);
    EXPECT_EQ(g_written, (Bytes{0xAA, 0x01, 0x81, 0x2C}));
    EXPECT_EQ(frame_send(&ops, 0x55, Bytes{0x40, 0x01, 0x02}.data(), 3, 1000), 0);
    EXPECT_EQ(g_written, (Bytes{0x55, 0x03, 0x40, 0x01, 0x02, 0x9B}));
    g_written.clear(); // the longest message goes out in the end-to-end tests
    EXPECT_EQ(frame_send(&ops, 0xAA, Bytes(256, 1).data(), 256, 1000), -1);
    EXPECT_EQ(frame_send(&ops, 0xAA, Bytes(1, 1).data(), 0, 1000), -1);
    EXPECT_TRUE(g_written.empty());
    ops.write = [](void*, const uint8_t*, int count, int) { return count - 1; };
    EXPECT_EQ(frame_send(&ops, 0xAA, Bytes{0x81}.data(), 1, 1000), -1) << "a frame cut short counts as written";

    const struct {
        Bytes frame;
        int result;
    } checks[] = {
        {{0xAA, 0x01, 0x81, 0x2C}, 0},  {{0x12, 0x05, 0x81, 0x2C}, -1}, // start before length
        {{0xAA, 0x02, 0x81, 0x00}, -2}, {{0xAA, 0x01, 0x81, 0x2D}, -3}, // length before sum
        {{0xAA, 0x00, 0xAA}, 0},        {{0xAA}, -2}, // length 0 is checked like any other
    };
    for (const auto& c : checks)
        EXPECT_EQ(frame_check(c.frame.data(), static_cast<int>(c.frame.size())), c.result) << c.frame.size();
    EXPECT_EQ(frame_checksum(Bytes{0xFF, 0x02, 0x03}.data(), 3), 0x04); // modulo 256
}

// Reads fed to the buffer as the receive thread does, frames taken after each; an empty read is
// a quiet spell of the line, after which the scan looks past a frame that cannot complete.
struct Scan {
    const char* what;
    std::vector<Bytes> reads;
    std::vector<Bytes> frames;
    int unread; // bytes held but not consumed at the end
};

TEST(FrameScan, FramesComeOutOfNoiseAndPiecesInOrder)
{
    const Bytes f1 = framed(0xAA, {0x81, 1, 2, 3, 4});
    const Bytes f2 = framed(0x55, {0x40, 0x01, 0x02});
    Bytes bad = framed(0xAA, {0x81, 0x10, 0x20, 0x30, 0x40, 0x50});
    bad.back() ^= 1;
    const Bytes inner = framed(0xAA, {0x82});
    const Bytes outer = cat(Bytes{0x55, static_cast<uint8_t>(inner.size() + 1), 0x99}, inner, Bytes{0x00});
    const Scan scans[] = {
        {"split across reads", {Bytes(f1.begin(), f1.begin() + 4), Bytes(f1.begin() + 4, f1.end())}, {f1}, 0},
        {"stray bytes go with the frame", {cat(Bytes{1, 2, 3}, f2)}, {f2}, 0},
        {"two frames in one read", {cat(f1, f2)}, {f1, f2}, 0},
        {"length byte 0 begins no frame", {{0xAA, 0x00, 0xAA}}, {}, 3},
        {"length byte 0 skipped", {cat(Bytes{0xCC, 0x00}, f2)}, {f2}, 0},
        {"bad checksum, then a shorter frame", {cat(bad, f2)}, {f2}, 0},
        {"a start byte inside a failed frame", {outer}, {inner}, 1},
        {"no start byte: nothing consumed", {{1, 2, 3, 4, 5, 6}}, {}, 6},
        {"fewer than three bytes", {{0xAA, 0x01}}, {}, 2},
        {"a frame that cannot complete waits", {cat(Bytes{0xAA, 0xFF, 0x10}, f2)}, {}, 9},
        {"... until the line goes quiet: the scan looks past it", {cat(Bytes{0xAA, 0xFF, 0x10}, f2), {}}, {f2}, 0},
        {"a frame in pieces with quiet spells between them",
         {Bytes(f1.begin(), f1.begin() + 2), {}, Bytes(f1.begin() + 2, f1.begin() + 5), {}, Bytes(f1.begin() + 5, f1.end())},
         {f1},
         0},
        {"a quiet spell keeps what makes no frame yet", {{0x01, 0x55, 0x09, 0x02, 0xCC}, {}, f1}, {}, 13},
        {"... and a frame behind it comes with the next", {{0x01, 0x55, 0x09, 0x02, 0xCC}, {}, f1, {}}, {f1}, 0},
    };
    for (const Scan& s : scans) {
        RxBuffer buf;
        rxbuf_reset(&buf);
        std::vector<Bytes> got;
        for (const Bytes& read : s.reads) {
            int space = 0;
            uint8_t* at = rxbuf_prepare(&buf, &space);
            ASSERT_LE(read.size(), static_cast<size_t>(space));
            if (!read.empty())
                std::memcpy(at, read.data(), read.size());
            ASSERT_EQ(rxbuf_commit(&buf, static_cast<int>(read.size())), 0);
            const uint8_t* frame = nullptr;
            for (int n; (n = frame_extract(&buf, &frame, read.empty())) > 0;)
                got.emplace_back(frame, frame + n);
        }
        EXPECT_EQ(got, s.frames) << s.what;
        EXPECT_EQ(buf.fill - buf.read_index, s.unread) << s.what;
    }
}

} // namespace
