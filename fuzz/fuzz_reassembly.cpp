// Feeds the reassembly buffer as the receive thread does: reads of arbitrary sizes, frames
// taken after each, quiet spells, and the discard of a full buffer.
//
// The first input byte chooses the stream:
// - even: the rest is the raw byte stream itself;
// - odd: the rest is cut into messages that are framed and separated by noise without start
//   bytes; then every message must come out, in order, exactly once.
// The bytes after the stream's own decide the read sizes and where the line goes quiet.
//
// Checks: every delivered frame passes frame_check and lies inside the held bytes and is consumed
// with the bytes before it; after a quiet spell no valid frame is left held; the buffer's indexes
// stay in range; a prepared read always has room. The bytes behind the held ones are
// poisoned for AddressSanitizer while the scan runs, so a read outside them is reported.
#include "link/frame.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#endif
#endif
#ifndef POISON
#define POISON(p, n) ((void)(p), (void)(n))
#define UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

#define REQUIRE(c)                                                                                                     \
    do {                                                                                                               \
        if (!(c))                                                                                                      \
            std::abort();                                                                                              \
    } while (0)

RxBuffer g_buf;

void check_indexes()
{
    REQUIRE(g_buf.read_index >= 0);
    REQUIRE(g_buf.read_index <= g_buf.fill);
    REQUIRE(g_buf.fill <= RXBUF_SIZE);
}

// Takes every frame held, with the unused space poisoned.
void take_frames(bool quiet, std::vector<std::vector<uint8_t>>* out)
{
    POISON(g_buf.data + g_buf.fill, static_cast<size_t>(RXBUF_SIZE - g_buf.fill));
    const uint8_t* frame = nullptr;
    while (int length = frame_extract(&g_buf, &frame, quiet)) {
        REQUIRE(length >= 4 && length <= FRAME_BUFFER_SIZE);
        REQUIRE(frame >= g_buf.data && frame + length <= g_buf.data + g_buf.fill);
        REQUIRE(frame + length == g_buf.data + g_buf.read_index); // consumed with what it skipped
        REQUIRE(frame_check(frame, length) == 0);
        out->emplace_back(frame + 2, frame + length - 1);
        check_indexes();
    }
    check_indexes();
    // After a quiet spell no complete valid frame is left anywhere among the held bytes: the
    // scan looked past every start that cannot complete.
    for (int at = g_buf.read_index; quiet && at + FRAME_OVERHEAD < g_buf.fill; ++at) {
        const uint8_t* p = g_buf.data + at;
        const int length = p[1] + FRAME_OVERHEAD;
        REQUIRE(p[1] == 0 || at + length > g_buf.fill || frame_check(p, length) != 0);
    }
    UNPOISON(g_buf.data, RXBUF_SIZE);
}

struct Cutter { // read sizes and quiet spells from the control bytes
    const uint8_t* p;
    size_t n;
    size_t at = 0;
    uint8_t next()
    {
        return n ? p[at++ % n] : 0x7F;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const bool structured = data[0] & 1;
    ++data;
    --size;

    std::vector<uint8_t> stream;
    std::vector<std::vector<uint8_t>> expected;
    std::vector<size_t> boundaries; // stream offsets after which a quiet spell may not lose data
    size_t used = size;
    if (structured) {
        // [length][message...][noise count] repeated; noise bytes come from the message bytes.
        size_t i = 0;
        while (i < size) {
            const size_t length = 1 + data[i] % FRAME_MAX_MESSAGE;
            if (i + 1 + length > size)
                break;
            const uint8_t* message = data + i + 1;
            std::vector<uint8_t> frame(length + 3);
            frame[0] = (message[0] % 3 == 0) ? 0xAA : (message[0] % 3 == 1 ? 0x55 : 0xCC);
            frame[1] = static_cast<uint8_t>(length);
            std::memcpy(frame.data() + 2, message, length);
            frame[length + 2] = frame_checksum(frame.data(), static_cast<int>(length + 2));
            stream.insert(stream.end(), frame.begin(), frame.end());
            expected.emplace_back(message, message + length);
            boundaries.push_back(stream.size());
            i += 1 + length;
            if (i < size) {
                const uint8_t control = data[i++];
                const size_t noise = control % 64 * (control & 0x80 ? 40 : 1);
                for (size_t k = 0; k < noise; ++k) {
                    uint8_t b = static_cast<uint8_t>(message[k % length] + k);
                    if (frame_is_start(b))
                        b = 0x00;
                    stream.push_back(b);
                }
                boundaries.push_back(stream.size());
            }
        }
        used = i;
    } else {
        stream.assign(data, data + size);
    }
    Cutter cut{data + used, size - used};
    if (!structured) // the raw stream cuts itself
        cut = Cutter{data, size};

    rxbuf_reset(&g_buf);
    std::vector<std::vector<uint8_t>> got;
    size_t at = 0;
    size_t boundary = 0;
    while (at < stream.size()) {
        int space = 0;
        uint8_t* write = rxbuf_prepare_read(&g_buf, &space);
        REQUIRE(space > 0);
        REQUIRE(write == g_buf.data + g_buf.fill);
        check_indexes();
        const uint8_t c = cut.next();
        size_t count = 1 + c % 97 * (c & 0x80 ? 23 : 1);
        count = std::min(count, std::min(static_cast<size_t>(space), stream.size() - at));
        std::memcpy(write, stream.data() + at, count);
        REQUIRE(rxbuf_commit(&g_buf, static_cast<int>(count)) == 0);
        at += count;
        take_frames(false, &got);
        // A quiet spell: anywhere in a raw stream; in a structured one only where a frame or
        // noise ends, as a real line goes quiet only between what the module sends.
        while (boundary < boundaries.size() && boundaries[boundary] < at)
            ++boundary;
        const bool at_boundary = boundary < boundaries.size() && boundaries[boundary] == at;
        if ((cut.next() & 0x0F) == 0 && (!structured || at_boundary))
            take_frames(true, &got);
    }
    take_frames(true, &got);
    if (structured)
        REQUIRE(got == expected);
    return 0;
}
