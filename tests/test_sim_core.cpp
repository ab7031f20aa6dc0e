// The simulator's frames are its own; here they are held against the library's scan: the two
// must agree on every frame, in noise and pieces. (Its answers and notifications are checked by
// the end-to-end tests and ormactl's decoding.)
#include "link/frame.h"
#include "sim_core.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using sim::Bytes;

// The frames that the library's scan finds in the pieces, read one at a time.
std::vector<Bytes> library_scan(const std::vector<Bytes>& pieces)
{
    RxBuffer buf;
    rxbuf_reset(&buf);
    std::vector<Bytes> frames;
    for (const Bytes& piece : pieces) {
        int space = 0;
        std::memcpy(rxbuf_prepare(&buf, &space), piece.data(), piece.size());
        rxbuf_commit(&buf, static_cast<int>(piece.size()));
        const uint8_t* frame = nullptr;
        for (int length; (length = frame_extract(&buf, &frame)) > 0;)
            frames.emplace_back(frame, frame + length);
    }
    return frames;
}

TEST(SimCore, FramesAgreeWithTheLibraryInNoiseAndPieces)
{
    EXPECT_EQ(sim::make_frame(0xAA, {0x81}), (Bytes{0xAA, 0x01, 0x81, 0x2C}));
    EXPECT_EQ(sim::make_frame(0x55, {0x40, 0x01, 0x02}), (Bytes{0x55, 0x03, 0x40, 0x01, 0x02, 0x9B}));
    const Bytes bad = sim::make_frame(0xAA, {0x81}, true);
    EXPECT_EQ(frame_check(bad.data(), static_cast<int>(bad.size())), -3);
    // Noise and split writes never cost a frame, never add one, and never make a scan wait for
    // bytes that are not coming: after each unit the frame is out, for both scans.
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
        ASSERT_LE(pieces.size(), 4u);
        ASSERT_EQ(library_scan(pieces), std::vector<Bytes>{frame}) << "unit " << i << ": " << sim::hex(unit);
        sim::FrameReader reader;
        for (const Bytes& piece : pieces)
            reader.add(piece.data(), piece.size());
        ASSERT_EQ(reader.next(), frame) << "unit " << i;
        ASSERT_EQ(reader.held(), 0u);
    }
    EXPECT_GT(start_bytes_in_noise, 1000) << "the noise must hold start bytes";
}

} // namespace
