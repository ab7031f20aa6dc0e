// The simulator's frames, answers, notifications and output garbling, checked against the
// library's frame scan: whatever the simulator sends must come out of it as the frames it meant,
// and the simulator's own reader must cut the same frames from any stream as the library's.
// One connection's session runs over a scripted line: its pacing, partial writes, drops and
// pulled lines.
#include "link/frame.h"
#include "sim_core.h"
#include "sim_session.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <thread>
#include <tuple>

#include <cstring>

namespace {

// Feeds the pieces to a reassembly buffer one read at a time, as the link's receive thread
// does, and returns every frame that the scan delivers. The simulator's reader, fed the same
// pieces, must deliver the same frames.
std::vector<Bytes> receive(const std::vector<Bytes>& pieces)
{
    RxBuffer buf;
    rxbuf_reset(&buf);
    sim::FrameReader reader;
    std::vector<Bytes> frames;
    std::vector<Bytes> sim_frames;
    for (const Bytes& piece : pieces) {
        int space = 0;
        uint8_t* at = rxbuf_prepare(&buf, &space);
        EXPECT_LE(piece.size(), static_cast<size_t>(space));
        std::memcpy(at, piece.data(), piece.size());
        rxbuf_commit(&buf, static_cast<int>(piece.size()));
        const uint8_t* frame = nullptr;
        int length;
        while ((length = frame_extract(&buf, &frame)) > 0)
            frames.emplace_back(frame, frame + length);
        reader.feed(piece.data(), piece.size());
        Bytes f;
        while (reader.next(f))
            sim_frames.push_back(f);
    }
    EXPECT_EQ(sim_frames, frames) << "the simulator's reader and the library's scan disagree";
    return frames;
}

// The answers themselves are checked end to end (answer_to in test_e2e.cpp).
TEST(SimAnswers, OnlyCommandsAreAnswered)
{
    const uint8_t command[] = {0x40, 0x01}, response[] = {0x81};
    EXPECT_TRUE(sim::is_command(command, 2));
    EXPECT_FALSE(sim::is_command(response, 1));
    EXPECT_FALSE(sim::is_command(command, 0));
}

TEST(SimFrames, FrameMatchesTheWireFormat)
{
    EXPECT_EQ(sim::make_frame(0xAA, {0x81}), (Bytes{0xAA, 0x01, 0x81, 0x2C}));
    EXPECT_EQ(sim::make_frame(0x55, {0x40, 0x01, 0x02}), (Bytes{0x55, 0x03, 0x40, 0x01, 0x02, 0x9B}));
    const Bytes long_message(200, 0xF7); // the sum wraps around several times
    EXPECT_EQ(sim::make_frame(0xCC, long_message), framed(0xCC, long_message));
    const Bytes bad = sim::make_frame(0xAA, {0x81}, true);
    EXPECT_NE(frame_check(bad.data(), static_cast<int>(bad.size())), 0);
    EXPECT_TRUE(receive({bad}).empty());
}

// Random streams of frames (some with a wrong checksum) and stray bytes, start bytes and false
// starts among them, cut into random reads: the simulator's reader and the library's scan cut
// the same frames (compared inside receive()).
TEST(SimFrames, ReaderCutsTheSameFramesAsTheLibrary)
{
    sim::Rng rng(5);
    const uint8_t starts[] = {0xAA, 0x55, 0xCC};
    size_t frames = 0;
    for (int run = 0; run < 300; ++run) {
        Bytes stream;
        while (stream.size() < 600) {
            const uint32_t kind = rng.below(4);
            if (kind == 0) { // a stray start byte, maybe with a length byte
                stream.push_back(starts[rng.below(3)]);
                if (rng.below(2))
                    stream.push_back(static_cast<uint8_t>(rng.below(8)));
            } else if (kind == 1) {
                stream.push_back(static_cast<uint8_t>(rng.next()));
            } else {
                Bytes message(1 + rng.below(40));
                for (auto& b : message)
                    b = static_cast<uint8_t>(rng.next());
                const Bytes f = sim::make_frame(starts[rng.below(3)], message, rng.below(5) == 0);
                stream.insert(stream.end(), f.begin(), f.end());
            }
        }
        frames += receive(sim::split(rng, stream, 16)).size();
    }
    EXPECT_GT(frames, 3000u) << "most frames must come through";
}

TEST(SimNotifications, SubChannelLayoutIsBigEndianWordThenTime)
{
    const sim::SubChannel sc{5, false, true, 10, 2, true, 24};
    const uint32_t word = sim::subchannel_word(sc);
    EXPECT_EQ(word & 0x3Fu, 5u);
    EXPECT_EQ(word >> 7 & 1u, 1u);
    EXPECT_EQ(word >> 8 & 0x3FFu, 10u);
    EXPECT_EQ(word >> 18 & 7u, 2u);
    EXPECT_EQ(word >> 21 & 1u, 1u);
    EXPECT_EQ(word >> 22, 24u);
    const Bytes n = sim::subchannel_notification(word, -2);
    ASSERT_EQ(n.size(), 10u);
    EXPECT_EQ(n[0], 0xE0);
    EXPECT_EQ(n[1], 0x46);
    EXPECT_EQ(static_cast<uint32_t>(n[2]) << 24 | n[3] << 16 | n[4] << 8 | n[5], word);
    EXPECT_EQ((Bytes{n[6], n[7], n[8], n[9]}), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));

    const sim::SubChannel back = sim::subchannel_from_word(word);
    EXPECT_EQ(back.id, 5u);
    EXPECT_EQ(back.start_cu, 10u);
    EXPECT_EQ(back.size_cu, 24u);
    EXPECT_TRUE(back.eep);

    sim::Rng rng(3);
    for (int i = 0; i < 200; ++i) {
        const sim::SubChannel s = sim::next_subchannel(rng);
        EXPECT_LT(s.id, 8u);
        EXPECT_LE(s.start_cu + s.size_cu, 864u) << "stays inside the 864 capacity units";
        EXPECT_EQ(sim::subchannel_from_word(sim::subchannel_word(s)).size_cu, s.size_cu);
    }

    const Bytes e = sim::error_notification(2, 0x40, 1000);
    EXPECT_EQ(e, (Bytes{0xF0, 0x02, 0x40, 0x00, 0x00, 0x03, 0xE8}));
}

// Noise and split writes never cost a frame, never add one, and never make the scan wait for
// bytes that are not coming: after each unit the frame is out.
TEST(SimNoise, NoisySplitStreamYieldsExactlyTheFrames)
{
    sim::Rng rng(11);
    int start_bytes_in_noise = 0;
    for (int i = 0; i < 3000; ++i) {
        Bytes message(1 + rng.below(255));
        for (auto& b : message)
            b = static_cast<uint8_t>(rng.next());
        const Bytes frame = sim::make_frame(0xAA, message);
        Bytes unit = sim::make_noise(rng, 64, frame);
        for (uint8_t b : unit)
            start_bytes_in_noise += frame_is_start(b) ? 1 : 0;
        unit.insert(unit.end(), frame.begin(), frame.end());
        const auto pieces = sim::split(rng, unit, 4);
        ASSERT_GE(pieces.size(), 1u);
        ASSERT_LE(pieces.size(), 4u);
        Bytes joined;
        for (const auto& p : pieces)
            joined.insert(joined.end(), p.begin(), p.end());
        ASSERT_EQ(joined, unit);
        const auto frames = receive(pieces);
        ASSERT_EQ(frames.size(), 1u) << "unit " << i << ": " << sim::hex(unit);
        ASSERT_EQ(frames[0], frame);
    }
    EXPECT_GT(start_bytes_in_noise, 1000) << "the noise must hold start bytes";
}

// A slow bridge: with gaps, every frame goes in at least two pieces, each after the first
// paused within the range; without, as split() does and without pauses.
TEST(SimNoise, PacedPiecesKeepTheBytesAndTheirGaps)
{
    sim::Rng rng(5);
    for (const auto& [pieces, gap_min, gap_max] : {std::tuple{1, 150, 600}, std::tuple{4, 150, 600}, std::tuple{3, 0, 0}}) {
        int gapped = 0;
        for (int i = 0; i < 200; ++i) {
            const Bytes frame = sim::make_frame(0xAA, Bytes(1 + rng.below(40), static_cast<uint8_t>(i)));
            const auto paced = sim::pace(rng, frame, pieces, gap_min, gap_max);
            Bytes joined;
            for (size_t k = 0; k < paced.size(); ++k) {
                joined.insert(joined.end(), paced[k].bytes.begin(), paced[k].bytes.end());
                EXPECT_FALSE(paced[k].bytes.empty());
                if (k == 0 || gap_max == 0) {
                    EXPECT_EQ(paced[k].gap_ms, 0);
                } else {
                    EXPECT_GE(paced[k].gap_ms, gap_min);
                    EXPECT_LE(paced[k].gap_ms, gap_max);
                    ++gapped;
                }
            }
            EXPECT_EQ(joined, frame);
            EXPECT_LE(paced.size(), static_cast<size_t>(std::max(pieces, gap_max > 0 ? 2 : 1)));
            if (gap_max > 0) {
                EXPECT_GE(paced.size(), 2u);
            }
        }
        EXPECT_EQ(gapped > 0, gap_max > 0);
    }
    int min = -1, max = -1;
    const struct {
        const char* text;
        bool ok;
        int min, max;
    } ranges[] = {{"150-600", true, 150, 600}, {"300", true, 300, 300}, {"600-150", false, 0, 0},
                  {"150-", false, 0, 0},       {"-600", false, 0, 0},   {"1-60001", false, 0, 0},
                  {"15x", false, 0, 0}};
    for (const auto& r : ranges) {
        EXPECT_EQ(sim::parse_range(r.text, 60000, min, max), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(std::pair(min, max), std::pair(r.min, r.max)) << r.text;
        }
    }
}

TEST(SimRng, SameSeedSameRun)
{
    sim::Rng a(7), b(7), c(8);
    bool differs = false;
    for (int i = 0; i < 100; ++i) {
        const uint32_t x = a.next();
        EXPECT_EQ(x, b.next());
        differs |= x != c.next();
    }
    EXPECT_TRUE(differs);
    EXPECT_EQ(a.below(0), 0u);
}


// A scripted connection: the host's bytes come chunk by chunk, each write of the session is kept
// with its time, and a write may be refused (LATER) or taken only in part. Once the script is
// through and the session waits for nothing, the peer goes away. The session's own timeouts are
// slept for real, as a system's wait would; a deadline stops a session that never ends.
class ScriptLine : public sim::Line {
public:
    struct Write {
        Bytes bytes;
        sim::Clock::time_point at;
    };
    std::deque<Bytes> input;
    std::vector<Write> writes;
    size_t take_at_most = SIZE_MAX;
    bool refuse_every_other = false;

    Ready wait(bool want_write, int timeout_ms) override
    {
        Ready ready;
        ready.stop = sim::Clock::now() > deadline_;
        ready.writable = want_write;
        ready.readable = !want_write && (!input.empty() || timeout_ms < 0);
        if (!ready.stop && !want_write && input.empty() && timeout_ms >= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return ready;
    }
    long read(uint8_t* bytes, size_t size) override
    {
        if (input.empty())
            return GONE;
        const Bytes chunk = input.front();
        input.pop_front();
        EXPECT_LE(chunk.size(), size);
        std::copy(chunk.begin(), chunk.end(), bytes);
        return static_cast<long>(chunk.size());
    }
    long write(const uint8_t* bytes, size_t size) override
    {
        if (refuse_every_other && calls_++ % 2 == 0)
            return LATER;
        const size_t n = std::min(size, take_at_most);
        writes.push_back({Bytes(bytes, bytes + n), sim::Clock::now()});
        return static_cast<long>(n);
    }
    Bytes written() const
    {
        Bytes all;
        for (const auto& w : writes)
            all.insert(all.end(), w.bytes.begin(), w.bytes.end());
        return all;
    }

private:
    sim::Clock::time_point deadline_ = sim::Clock::now() + std::chrono::seconds(10);
    long calls_ = 0;
};

// What a session does with the chunks: the commands answered and the line afterwards.
struct Ran {
    long answered;
    bool dropped;
    int unplug_ms;
};
Ran run_session(ScriptLine& line, const sim::Options& o)
{
    sim::Rng rng(1);
    sim::Context context{rng};
    sim::Session session(line, o, context);
    const long answered = session.run();
    return {answered, session.dropped(), session.unplug_ms()};
}

// Control commands that end a connection: nothing after them in the same read is answered, and
// 7F 07 says for how long the line is to stay away (at least 1 ms).
TEST(SimSession, DropAndPulledLineEndTheConnection)
{
    const Bytes one = sim::make_frame(sim::START_PLAIN, {0x01});
    const Bytes answer = sim::make_frame(sim::START_PLAIN, {0x81});
    const struct {
        Bytes control;
        bool dropped;
        int unplug_ms;
    } cases[] = {
        {{0x7F, 0x05}, true, 0},         {{0x7F, 0x07, 0x01, 0xF4}, true, 500},
        {{0x7F, 0x07}, true, 1},         {{0x7F, 0x07, 0x00, 0x00}, true, 1},
        {{0x7F, 0x03}, false, 0}, // answered, with an error notification before
    };
    for (const auto& c : cases) {
        ScriptLine line;
        line.input.push_back(cat(one, sim::make_frame(sim::START_PLAIN, c.control), one));
        const Ran ran = run_session(line, sim::Options{});
        const std::string what = sim::hex(c.control);
        EXPECT_EQ(ran.dropped, c.dropped) << what;
        EXPECT_EQ(ran.unplug_ms, c.unplug_ms) << what;
        EXPECT_EQ(ran.answered, c.dropped ? 1 : 3) << what;
        if (c.dropped) {
            EXPECT_EQ(line.written(), answer) << what;
        }
    }
}

// Answers cut into paced pieces, written to a line that refuses every other write and takes at
// most 3 bytes at a time: the bytes arrive whole and in order, every second answer with a wrong
// checksum, and each frame's pieces paused at least as asked.
TEST(SimSession, PacedAnswersSurviveShortWritesAndKeepTheirGaps)
{
    sim::Options o;
    o.split = 4;
    o.gap_min = 20;
    o.gap_max = 30;
    o.bad_checksum = 2;
    ScriptLine line;
    line.refuse_every_other = true;
    line.take_at_most = 3;
    const Bytes commands[] = {{0x01}, {0x40, 0x01, 0x02}, {0x22, 0x09}};
    Bytes expected;
    std::vector<size_t> frame_ends;
    for (size_t i = 0; i < std::size(commands); ++i) {
        line.input.push_back(sim::make_frame(sim::START_FLOW, commands[i]));
        const Bytes& c = commands[i];
        const Bytes answer = sim::make_frame(sim::START_FLOW, sim::response_to(c.data(), static_cast<int>(c.size())), i % 2 == 1);
        expected.insert(expected.end(), answer.begin(), answer.end());
        frame_ends.push_back(expected.size());
    }
    const Ran ran = run_session(line, o);
    EXPECT_EQ(ran.answered, 3);
    EXPECT_FALSE(ran.dropped);
    ASSERT_EQ(line.written(), expected);

    // Later frames wait behind earlier ones: the last piece of the k-th frame goes out no sooner
    // than k * gap_min after the first write (late wake-ups only add to that).
    size_t at = 0, frame = 0;
    for (const auto& w : line.writes) {
        at += w.bytes.size();
        if (at == frame_ends[frame]) {
            ++frame;
            const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(w.at - line.writes[0].at).count();
            EXPECT_GE(span, static_cast<long>(frame) * o.gap_min - 1) << "frame " << frame << " went out early";
        }
    }
    EXPECT_EQ(frame, std::size(commands));
}

} // namespace
