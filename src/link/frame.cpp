#include "link/frame.h"

#include <cstring>

namespace {

struct ScanResult {
    int skipped;      // bytes skipped before the frame, or before where the scan stopped
    int frame_length; // 0 when no frame was found
};

// Scans the unread bytes for the first complete valid frame.
ScanResult scan(const RxBuffer* buf, bool line_quiet)
{
    const uint8_t* p = buf->data + buf->read_index;
    int remaining = buf->fill - buf->read_index;
    int skipped = 0;
    while (remaining >= FRAME_OVERHEAD) {
        if (frame_is_start(p[0]) && p[1] != 0) {
            const int length = p[1] + FRAME_OVERHEAD;
            if (length > remaining) {
                if (!line_quiet)
                    break; // the frame may still be arriving
            } else if (frame_check(p, length) == 0) {
                return {skipped, length};
            }
        }
        ++p;
        ++skipped;
        --remaining;
    }
    return {skipped, 0};
}

} // namespace

int frame_send(const LinkOps* ops, uint8_t start, const uint8_t* message, int length, int limit_ms)
{
    if (length < 1 || length > FRAME_MAX_MESSAGE || !message)
        return -1;
    uint8_t frame[FRAME_BUFFER_SIZE];
    frame[0] = start;
    frame[1] = static_cast<uint8_t>(length);
    std::memcpy(frame + 2, message, static_cast<size_t>(length));
    frame[2 + length] = frame_checksum(frame, length + 2);
    const int total = length + FRAME_OVERHEAD;
    return ops && ops->write && ops->write(ops->context, frame, total, limit_ms) == total ? 0 : -1;
}

bool frame_is_start(uint8_t byte)
{
    return byte == FRAME_START_FLOW || byte == FRAME_START_PLAIN || byte == FRAME_START_OTHER;
}

uint8_t frame_checksum(const uint8_t* bytes, int count)
{
    uint8_t sum = 0;
    for (int i = 0; i < count; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

int frame_check(const uint8_t* frame, int total)
{
    if (total < 1 || !frame_is_start(frame[0]))
        return -1;
    // Shorter than start, length and checksum, no length byte can match. (A length byte of 0 is
    // checked like any other; the scan never takes one for the start of a frame.)
    if (total < FRAME_OVERHEAD || frame[1] != total - FRAME_OVERHEAD)
        return -2;
    if (frame_checksum(frame, total - 1) != frame[total - 1])
        return -3;
    return 0;
}

void rxbuf_reset(RxBuffer* buf)
{
    buf->read_index = 0;
    buf->fill = 0;
}

uint8_t* rxbuf_prepare(RxBuffer* buf, int* free_space)
{
    if (buf->read_index > 0) {
        const int unread = buf->fill - buf->read_index;
        if (unread > 0)
            std::memmove(buf->data, buf->data + buf->read_index, static_cast<size_t>(unread));
        buf->read_index = 0;
        buf->fill = unread;
    }
    *free_space = RXBUF_SIZE - buf->fill;
    return buf->data + buf->fill;
}

int rxbuf_commit(RxBuffer* buf, int count)
{
    if (count < 0 || buf->fill + count > RXBUF_SIZE)
        return -1;
    buf->fill += count;
    return 0;
}

int frame_extract(RxBuffer* buf, const uint8_t** frame, bool line_quiet, int* skipped)
{
    const ScanResult found = buf->fill - buf->read_index < FRAME_OVERHEAD ? ScanResult{0, 0} : scan(buf, line_quiet);
    // Without a frame the scanned bytes stay and are scanned again with the next read, also
    // after a quiet spell: a frame may arrive in pieces far apart (a slow bridge), and its start
    // must still be there when its end comes.
    if (found.frame_length == 0)
        return 0;
    *frame = buf->data + buf->read_index + found.skipped;
    if (skipped)
        *skipped = found.skipped;
    buf->read_index += found.skipped + found.frame_length;
    return found.frame_length;
}

int rxbuf_discard_skipped(RxBuffer* buf)
{
    const ScanResult found = scan(buf, false);
    buf->read_index += found.skipped;
    return found.skipped;
}

uint8_t* rxbuf_prepare_read(RxBuffer* buf, int* free_space, void (*dropped)(const uint8_t*, int))
{
    uint8_t* at = rxbuf_prepare(buf, free_space);
    if (*free_space > 0)
        return at;
    const uint8_t* from = buf->data + buf->read_index;
    const int count = rxbuf_discard_skipped(buf);
    if (dropped)
        dropped(from, count ? count : buf->fill - static_cast<int>(from - buf->data));
    if (count == 0)
        rxbuf_reset(buf); // cannot happen with frames shorter than the buffer; never spin
    return rxbuf_prepare(buf, free_space);
}
