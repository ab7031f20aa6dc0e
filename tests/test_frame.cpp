// The link frame and the reassembly scan: frame format, frames that arrive in pieces, noise,
// the quiet-line rule and the discard of a full buffer.
#include "link/frame.h"
#include "link/link_client.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

Bytes g_written;

int record_write(void*, const uint8_t* bytes, int count)
{
    g_written.assign(bytes, bytes + count);
    return count;
}

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        for (uint8_t b : p)
            all.push_back(b);
    return all;
}

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override { rxbuf_reset(&buf_); }

    // Writes bytes as the receive thread does: at the prepared position, then accounted.
    void feed(const Bytes& bytes)
    {
        int space = 0;
        uint8_t* at = rxbuf_prepare(&buf_, &space);
        ASSERT_LE(static_cast<int>(bytes.size()), space);
        std::memcpy(at, bytes.data(), bytes.size());
        ASSERT_EQ(rxbuf_commit(&buf_, static_cast<int>(bytes.size())), 0);
    }
    // The next frame, or an empty vector.
    Bytes extract(bool quiet = false)
    {
        const uint8_t* f = nullptr;
        const int n = frame_extract(&buf_, &f, quiet);
        EXPECT_GE(n, 0);
        if (n == 0)
            return {};
        EXPECT_GE(f, buf_.data);
        EXPECT_LE(f + n, buf_.data + buf_.fill);
        EXPECT_EQ(frame_check(f, n), 0);
        return Bytes(f, f + n);
    }
    int unread() const { return buf_.fill - buf_.read_index; }

    RxBuffer buf_;
};

TEST(FrameFormat, SendBuildsTheFramesOfTheExamples)
{
    LinkOps table{};
    table.write = record_write;
    const LinkOps* ops = &table;
    const uint8_t one[] = {0x81};
    EXPECT_EQ(frame_send(ops, 0xAA, one, 1), 0);
    EXPECT_EQ(g_written, (Bytes{0xAA, 0x01, 0x81, 0x2C}));
    const uint8_t three[] = {0x40, 0x01, 0x02};
    EXPECT_EQ(frame_send(ops, 0x55, three, 3), 0);
    EXPECT_EQ(g_written, (Bytes{0x55, 0x03, 0x40, 0x01, 0x02, 0x9B}));

    // The longest message fits the frame buffer; a longer one and an empty one are refused.
    Bytes longest(255);
    for (size_t i = 0; i < longest.size(); ++i)
        longest[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(frame_send(ops, 0xCC, longest.data(), 255), 0);
    EXPECT_EQ(g_written, framed(0xCC, longest));
    EXPECT_EQ(g_written.size(), 258u);
    g_written.clear();
    Bytes too_long(256, 1);
    EXPECT_EQ(frame_send(ops, 0xAA, too_long.data(), 256), -1);
    EXPECT_EQ(frame_send(ops, 0xAA, too_long.data(), 0), -1);
    EXPECT_TRUE(g_written.empty());
}

TEST(FrameFormat, CheckReportsTheFirstFaultInOrder)
{
    const Bytes good = {0xAA, 0x01, 0x81, 0x2C};
    EXPECT_EQ(frame_check(good.data(), 4), 0);
    EXPECT_EQ(frame_check(Bytes{0x12, 0x05, 0x81, 0x2C}.data(), 4), -1); // start wins over length
    EXPECT_EQ(frame_check(Bytes{0xAA, 0x02, 0x81, 0x00}.data(), 4), -2); // length wins over sum
    EXPECT_EQ(frame_check(Bytes{0xAA, 0x01, 0x81, 0x2D}.data(), 4), -3);
    // AA 00 AA is checked like any frame (the scan itself never starts one at a length byte of 0);
    // a single byte is too short to hold a length byte.
    EXPECT_EQ(frame_check(Bytes{0xAA, 0x00, 0xAA}.data(), 3), 0);
    EXPECT_EQ(frame_check(Bytes{0xAA}.data(), 1), -2);
    EXPECT_TRUE(frame_is_start(0xAA) && frame_is_start(0x55) && frame_is_start(0xCC));
    EXPECT_FALSE(frame_is_start(0x00) || frame_is_start(0xAB) || frame_is_start(0xFF));
    EXPECT_EQ(frame_checksum(good.data(), 0), 0);
    EXPECT_EQ(frame_checksum(Bytes{0xFF, 0x02, 0x03}.data(), 3), 0x04); // modulo 256
}

TEST_F(FrameTest, FrameSplitAcrossReadsComesOutWhole)
{
    const Bytes f = framed(0xAA, {0x81, 1, 2, 3, 4});
    feed(Bytes(f.begin(), f.begin() + 4));
    EXPECT_TRUE(extract().empty());
    EXPECT_EQ(unread(), 4); // nothing consumed while the frame may still be arriving
    feed(Bytes(f.begin() + 4, f.end()));
    EXPECT_EQ(extract(), f);
    EXPECT_EQ(unread(), 0);
}

TEST_F(FrameTest, StrayBytesAreConsumedWithTheFrame)
{
    const Bytes f = framed(0x55, {0x40, 0x01, 0x02});
    feed(join({{0x01, 0x02, 0x03}, f}));
    EXPECT_EQ(extract(), f);
    EXPECT_EQ(unread(), 0);
}

TEST_F(FrameTest, LengthByteZeroNeverBeginsAFrame)
{
    // AA 00 AA would be a valid zero-length frame if length 0 were allowed.
    feed({0xAA, 0x00, 0xAA});
    EXPECT_TRUE(extract().empty());
    rxbuf_reset(&buf_);
    const Bytes f = framed(0xAA, {0xC1});
    feed(join({{0xCC, 0x00}, f}));
    EXPECT_EQ(extract(), f);
    EXPECT_TRUE(extract().empty());
    EXPECT_EQ(unread(), 0);
}

TEST_F(FrameTest, BadChecksumThenValidFrame)
{
    Bytes bad = framed(0xAA, {0x81, 0x10, 0x20, 0x30, 0x40, 0x50});
    bad.back() ^= 1;
    const Bytes good = framed(0xCC, {0x01});
    // The valid frame is shorter than the failed one and ends the held bytes: the scan goes on
    // with the 3-byte minimum and finds it in the same call.
    feed(join({bad, good}));
    EXPECT_EQ(extract(), good);
    EXPECT_EQ(unread(), 0);
}

TEST_F(FrameTest, StartByteInsideAFailedFrameIsScannedAgain)
{
    // The failed frame's body holds a complete valid frame.
    const Bytes inner = framed(0xAA, {0x82});
    Bytes outer = {0x55, static_cast<uint8_t>(inner.size() + 1), 0x99};
    outer.insert(outer.end(), inner.begin(), inner.end());
    outer.push_back(0x00); // wrong checksum
    ASSERT_NE(frame_check(outer.data(), static_cast<int>(outer.size())), 0);
    feed(outer);
    EXPECT_EQ(extract(), inner);
}

TEST_F(FrameTest, TwoFramesInOneReadComeOutInOrder)
{
    const Bytes a = framed(0xAA, {0x81});
    const Bytes b = framed(0xAA, {0xC2, 0x05});
    feed(join({a, b}));
    EXPECT_EQ(extract(), a);
    EXPECT_EQ(extract(), b);
    EXPECT_TRUE(extract().empty());
}

TEST_F(FrameTest, NoStartByteConsumesNothing)
{
    feed({0x01, 0x02, 0x03, 0x04, 0x05, 0x06});
    EXPECT_TRUE(extract().empty());
    EXPECT_EQ(buf_.read_index, 0);
    EXPECT_EQ(buf_.fill, 6);
    // Fewer than three bytes never make a frame either.
    rxbuf_reset(&buf_);
    feed({0xAA, 0x01});
    EXPECT_TRUE(extract().empty());
    EXPECT_EQ(unread(), 2);
}

TEST_F(FrameTest, PrepareMovesTheUnreadBytesToTheFront)
{
    const Bytes a = framed(0xAA, {0x81});
    const Bytes b = framed(0xAA, {0x82, 9, 9});
    feed(join({a, Bytes(b.begin(), b.begin() + 3)}));
    EXPECT_EQ(extract(), a);
    int space = 0;
    uint8_t* at = rxbuf_prepare(&buf_, &space);
    EXPECT_EQ(buf_.read_index, 0);
    EXPECT_EQ(buf_.fill, 3);
    EXPECT_EQ(at, buf_.data + 3);
    EXPECT_EQ(space, RXBUF_SIZE - 3);
    EXPECT_EQ(Bytes(buf_.data, buf_.data + 3), Bytes(b.begin(), b.begin() + 3));
    feed(Bytes(b.begin() + 3, b.end()));
    EXPECT_EQ(extract(), b);
}

TEST_F(FrameTest, CommitBeyondTheBufferChangesNothing)
{
    feed(Bytes(2000, 0x01));
    EXPECT_EQ(rxbuf_commit(&buf_, 49), -1);
    EXPECT_EQ(buf_.fill, 2000);
    EXPECT_EQ(rxbuf_commit(&buf_, -1), -1);
    EXPECT_EQ(buf_.fill, 2000);
    EXPECT_EQ(rxbuf_commit(&buf_, 48), 0);
    EXPECT_EQ(buf_.fill, RXBUF_SIZE);
    int space = -1;
    rxbuf_prepare(&buf_, &space);
    EXPECT_EQ(space, 0);
}

TEST_F(FrameTest, QuietLineSkipsAFrameThatCannotComplete)
{
    const Bytes f = framed(0xAA, {0x81});
    feed(join({{0xAA, 0xFF, 0x10}, f})); // the start of a 258-byte frame, then a short one
    EXPECT_TRUE(extract().empty());        // the long frame may still be arriving
    EXPECT_EQ(unread(), 3 + static_cast<int>(f.size()));
    EXPECT_EQ(extract(true), f);          // the line stayed quiet: it is not
    EXPECT_EQ(unread(), 0);
}

TEST_F(FrameTest, QuietLineDropsEverythingThatMakesNoFrame)
{
    feed({0x01, 0x55, 0x09, 0x02, 0xCC});
    EXPECT_TRUE(extract(true).empty());
    EXPECT_EQ(unread(), 0);
    // A frame arriving afterwards is not held back by the old bytes.
    const Bytes f = framed(0xAA, {0x83});
    feed(f);
    EXPECT_EQ(extract(), f);
}

TEST_F(FrameTest, FullBufferDiscardKeepsATailThatMayBeginAFrame)
{
    const Bytes f = framed(0xAA, Bytes(40, 0x81));
    Bytes noise(RXBUF_SIZE - 20, 0x11);
    feed(join({noise, Bytes(f.begin(), f.begin() + 20)}));
    ASSERT_TRUE(extract().empty());
    ASSERT_EQ(unread(), RXBUF_SIZE);
    EXPECT_EQ(rxbuf_discard_skipped(&buf_), RXBUF_SIZE - 20);
    int space = 0;
    rxbuf_prepare(&buf_, &space);
    EXPECT_EQ(space, RXBUF_SIZE - 20);
    EXPECT_EQ(Bytes(buf_.data, buf_.data + 20), Bytes(f.begin(), f.begin() + 20));
    feed(Bytes(f.begin() + 20, f.end()));
    EXPECT_EQ(extract(), f);
}

TEST_F(FrameTest, FullBufferOfStartBytesStillFreesSpace)
{
    // Every byte a start byte with a long length: the tail kept is shorter than one frame.
    Bytes noise(RXBUF_SIZE);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = i % 2 ? 0xFE : 0xAA;
    feed(noise);
    ASSERT_TRUE(extract().empty());
    const int dropped = rxbuf_discard_skipped(&buf_);
    EXPECT_GT(dropped, 0);
    EXPECT_GE(RXBUF_SIZE - dropped, 1);
    EXPECT_LT(RXBUF_SIZE - dropped, FRAME_BUFFER_SIZE);
}

} // namespace
