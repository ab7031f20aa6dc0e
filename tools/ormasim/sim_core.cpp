#include "sim_core.h"

#include <cstdio>

namespace sim {

bool is_start(uint8_t byte)
{
    return byte == START_FLOW || byte == START_PLAIN || byte == START_OTHER;
}

uint8_t checksum(const uint8_t* bytes, size_t count)
{
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += bytes[i];
    return static_cast<uint8_t>(sum & 0xFFu);
}

void FrameReader::feed(const uint8_t* bytes, size_t count)
{
    held_.insert(held_.end(), bytes, bytes + count);
}

bool FrameReader::next(Bytes& frame)
{
    size_t at = 0;
    bool found = false;
    for (; held_.size() - at >= FRAME_OVERHEAD; ++at) {
        if (!is_start(held_[at]) || held_[at + 1] == 0)
            continue;
        const size_t size = held_[at + 1] + FRAME_OVERHEAD;
        if (size > held_.size() - at)
            break; // may still be arriving: wait here
        if (checksum(&held_[at], size - 1) == held_[at + size - 1]) {
            frame.assign(held_.begin() + static_cast<long>(at), held_.begin() + static_cast<long>(at + size));
            found = true;
            break;
        }
    }
    // What lies before `at` can never begin a frame: the bytes after it are already known.
    const size_t consumed = found ? at + frame.size() : at;
    held_.erase(held_.begin(), held_.begin() + static_cast<long>(consumed));
    return found;
}

uint32_t Rng::next()
{
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return static_cast<uint32_t>((state_ * 0x2545F4914F6CDD1DULL) >> 32);
}

uint32_t Rng::below(uint32_t n)
{
    return n == 0 ? 0 : next() % n;
}

bool is_command(const uint8_t* message, int length)
{
    return length >= 1 && message[0] < 0x80;
}

Bytes response_to(const uint8_t* message, int length)
{
    Bytes answer(message, message + length);
    answer[0] = static_cast<uint8_t>(0x80 | (message[0] & 0x3F));
    return answer;
}

Bytes make_frame(uint8_t start, const Bytes& message, bool bad_checksum)
{
    Bytes frame;
    frame.reserve(message.size() + FRAME_OVERHEAD);
    frame.push_back(start);
    frame.push_back(static_cast<uint8_t>(message.size()));
    frame.insert(frame.end(), message.begin(), message.end());
    uint8_t sum = checksum(frame.data(), frame.size());
    if (bad_checksum)
        sum = static_cast<uint8_t>(sum + 1);
    frame.push_back(sum);
    return frame;
}

uint32_t subchannel_word(const SubChannel& sc)
{
    return (sc.id & 0x3Fu) | (sc.efc ? 1u << 6 : 0u) | (sc.switch_on ? 1u << 7 : 0u) |
           (sc.start_cu & 0x3FFu) << 8 | (sc.protection & 0x7u) << 18 | (sc.eep ? 1u << 21 : 0u) |
           (sc.size_cu & 0x3FFu) << 22;
}

SubChannel subchannel_from_word(uint32_t word)
{
    return SubChannel{word & 0x3Fu,          (word >> 6 & 1u) != 0, (word >> 7 & 1u) != 0,
                      word >> 8 & 0x3FFu,    word >> 18 & 0x7u,     (word >> 21 & 1u) != 0,
                      word >> 22 & 0x3FFu};
}

namespace {
void put_be32(Bytes& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}
} // namespace

Bytes subchannel_notification(uint32_t word, int32_t time_ms)
{
    Bytes message{SUBCHANNEL_CODE, SUBCHANNEL_KIND};
    put_be32(message, word);
    put_be32(message, static_cast<uint32_t>(time_ms));
    return message;
}

Bytes error_notification(uint8_t error, uint8_t last_command, int32_t time_ms)
{
    Bytes message{ERROR_CODE, error, last_command};
    put_be32(message, static_cast<uint32_t>(time_ms));
    return message;
}

SubChannel next_subchannel(Rng& rng)
{
    SubChannel sc{};
    sc.id = rng.below(8);
    sc.switch_on = rng.below(5) != 0;
    sc.eep = rng.below(2) != 0;
    sc.protection = rng.below(sc.eep ? 4 : 5);
    sc.size_cu = 24 + 6 * rng.below(13); // 24 .. 96
    sc.start_cu = sc.id * 108;           // eight slots that never overlap within 864 CUs
    sc.efc = false;
    return sc;
}

namespace {
uint8_t noise_byte(Rng& rng, bool with_starts)
{
    static const uint8_t starts[] = {START_FLOW, START_PLAIN, START_OTHER};
    if (with_starts && rng.below(4) == 0)
        return starts[rng.below(3)];
    uint8_t b;
    do
        b = static_cast<uint8_t>(rng.next());
    while (is_start(b));
    return b;
}

// A scan over noise then frame finds exactly the frame, right after the noise (nothing is left
// held, so no byte of the noise was taken for a frame's start).
bool scan_finds_frame(const Bytes& noise, const Bytes& frame)
{
    FrameReader reader;
    reader.feed(noise.data(), noise.size());
    reader.feed(frame.data(), frame.size());
    Bytes found;
    return reader.next(found) && found == frame && reader.pending() == 0;
}
} // namespace

Bytes make_noise(Rng& rng, int max_bytes, const Bytes& frame)
{
    if (max_bytes <= 0)
        return {};
    if (max_bytes > MAX_NOISE)
        max_bytes = MAX_NOISE;
    const int count = static_cast<int>(rng.below(static_cast<uint32_t>(max_bytes) + 1));
    Bytes noise(static_cast<size_t>(count));
    for (int attempt = 0; attempt < 16; ++attempt) {
        for (auto& b : noise)
            b = noise_byte(rng, true);
        if (scan_finds_frame(noise, frame))
            return noise;
    }
    for (auto& b : noise) // no start byte at all: always passed over
        b = noise_byte(rng, false);
    return noise;
}

std::vector<Bytes> split(Rng& rng, const Bytes& bytes, int max_pieces)
{
    std::vector<Bytes> pieces;
    size_t pos = 0;
    int left = max_pieces < 1 ? 1 : max_pieces;
    while (pos < bytes.size()) {
        const size_t rest = bytes.size() - pos;
        size_t take = rest;
        if (left > 1 && rest > 1)
            take = 1 + rng.below(static_cast<uint32_t>(rest)); // 1 .. rest
        pieces.emplace_back(bytes.begin() + static_cast<long>(pos),
                            bytes.begin() + static_cast<long>(pos + take));
        pos += take;
        --left;
    }
    return pieces;
}

std::vector<Piece> pace(Rng& rng, const Bytes& bytes, int max_pieces, int gap_min, int gap_max)
{
    if (gap_max > 0 && max_pieces < 2)
        max_pieces = 2;
    std::vector<Bytes> cut = split(rng, bytes, max_pieces);
    if (gap_max > 0 && cut.size() == 1 && bytes.size() > 1) { // a gap needs two pieces
        const auto at = bytes.begin() + 1 + static_cast<long>(rng.below(static_cast<uint32_t>(bytes.size() - 1)));
        cut = {Bytes(bytes.begin(), at), Bytes(at, bytes.end())};
    }
    std::vector<Piece> pieces;
    for (auto& bytes_of_piece : cut) {
        int gap = 0;
        if (!pieces.empty() && gap_max > 0)
            gap = gap_min + static_cast<int>(rng.below(static_cast<uint32_t>(gap_max - gap_min + 1)));
        pieces.push_back({std::move(bytes_of_piece), gap});
    }
    return pieces;
}

bool parse_range(const char* text, int limit, int& min, int& max)
{
    auto number = [&](const char*& p, int& out) {
        if (*p < '0' || *p > '9')
            return false;
        long value = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            value = value * 10 + (*p - '0');
            if (value > limit)
                return false;
        }
        out = static_cast<int>(value);
        return true;
    };
    const char* p = text;
    if (!number(p, min))
        return false;
    max = min;
    if (*p == '-' && !number(++p, max))
        return false;
    return *p == '\0' && min <= max;
}

Bytes make_block(uint8_t client, const Bytes& message)
{
    const size_t n = message.size();
    if (n == 0 || n > BLOCK_MAX_MESSAGE || client > 15)
        return {};
    if (n <= 2)
        return Bytes{static_cast<uint8_t>(n == 1 ? 'A' : 'B'), client, message[0], n == 2 ? message[1] : uint8_t{0}};
    Bytes block{'O', client, static_cast<uint8_t>(n & 0xFF), static_cast<uint8_t>(n >> 8)};
    block.insert(block.end(), message.begin(), message.end());
    return block;
}

bool read_block(const uint8_t* bytes, size_t size, uint8_t& client, Bytes& message)
{
    if (size < BLOCK_HEADER)
        return false;
    size_t n = 0;
    const uint8_t* payload = bytes + 2;
    switch (bytes[0] & 0x7F) {
    case 'A': n = 1; break;
    case 'B': n = 2; break;
    case 'O':
        n = static_cast<size_t>(bytes[2] | bytes[3] << 8);
        payload = bytes + BLOCK_HEADER;
        if (n == 0 || size != BLOCK_HEADER + n)
            return false;
        break;
    default: return false;
    }
    if (payload == bytes + 2 && size != BLOCK_HEADER)
        return false;
    client = bytes[1] & 0x0F;
    message.assign(payload, payload + n);
    return true;
}

std::string hex(const uint8_t* bytes, size_t count)
{
    std::string text;
    text.reserve(count * 3);
    char cell[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]);
        text += cell;
    }
    return text;
}

} // namespace sim
