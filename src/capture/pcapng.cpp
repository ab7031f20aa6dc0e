#include "capture/pcapng.h"

#include <cstring>
#include <memory>

namespace orma_capture {
namespace {

constexpr uint32_t SECTION_HEADER = 0x0A0D0D0A;
constexpr uint32_t INTERFACE = 1;
constexpr uint32_t SIMPLE_PACKET = 3;
constexpr uint32_t ENHANCED_PACKET = 6;
constexpr uint32_t BYTE_ORDER_MAGIC = 0x1A2B3C4D;
constexpr uint16_t OPT_END = 0;
constexpr uint16_t OPT_SHB_USERAPPL = 4;
constexpr uint16_t OPT_IF_NAME = 2;
constexpr uint16_t OPT_IF_TSRESOL = 9;

size_t padded(size_t n)
{
    return (n + 3) & ~size_t{3};
}

void put16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v)
{
    put16(out, static_cast<uint16_t>(v));
    put16(out, static_cast<uint16_t>(v >> 16));
}

void put_bytes(std::vector<uint8_t>& out, const void* bytes, size_t length)
{
    const auto* p = static_cast<const uint8_t*>(bytes);
    out.insert(out.end(), p, p + length);
    out.resize(out.size() + (padded(length) - length), 0);
}

void put_option(std::vector<uint8_t>& out, uint16_t code, const void* value, size_t length)
{
    put16(out, code);
    put16(out, static_cast<uint16_t>(length));
    put_bytes(out, value, length);
}

// Writes the block's length at its start and its end, once the body is in place.
void close_block(std::vector<uint8_t>& out, size_t begin)
{
    const auto total = static_cast<uint32_t>(out.size() - begin + 4);
    put32(out, total);
    std::memcpy(out.data() + begin + 4, &out[out.size() - 4], 4);
}

uint32_t get32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

struct Interface {
    uint16_t link_type;
    uint64_t per_second; // time stamp units per second
};

// The interface's time stamp resolution: a power of ten (bit 7 clear) or of two.
uint64_t resolution(const uint8_t* options, size_t length)
{
    uint64_t per_second = 1000000;
    size_t at = 0;
    while (at + 4 <= length) {
        const uint16_t code = get16(options + at);
        const uint16_t size = get16(options + at + 2);
        if (code == OPT_END || at + 4 + size > length)
            break;
        if (code == OPT_IF_TSRESOL && size >= 1) {
            const uint8_t r = options[at + 4];
            per_second = 1;
            for (int i = 0; i < (r & 0x7F) && i < 19; ++i)
                per_second *= (r & 0x80) ? 2 : 10;
        }
        at += 4 + padded(size);
    }
    return per_second;
}

} // namespace

const uint8_t* Record::message(size_t* length) const
{
    *length = 0;
    if (header.flags & (NOISE | BAD_SUM | LINK | NOT_SENT))
        return nullptr;
    if (header.flags & FRAME) {
        if (bytes.size() < 4 || bytes[1] + 3u != bytes.size())
            return nullptr;
        *length = bytes[1];
        return bytes.data() + 2;
    }
    *length = bytes.size();
    return bytes.data();
}

std::vector<uint8_t> file_head(const std::string& application)
{
    std::vector<uint8_t> out;
    out.reserve(128);
    put32(out, SECTION_HEADER);
    put32(out, 0);
    put32(out, BYTE_ORDER_MAGIC);
    put16(out, 1); // version 1.0
    put16(out, 0);
    put32(out, 0xFFFFFFFF); // section length not given
    put32(out, 0xFFFFFFFF);
    put_option(out, OPT_SHB_USERAPPL, application.data(), application.size());
    put_option(out, OPT_END, nullptr, 0);
    close_block(out, 0);

    const size_t begin = out.size();
    put32(out, INTERFACE);
    put32(out, 0);
    put16(out, LINKTYPE);
    put16(out, 0);
    put32(out, 0); // no snapshot limit
    static const char name[] = "orma";
    put_option(out, OPT_IF_NAME, name, sizeof name - 1);
    const uint8_t microseconds = 6;
    put_option(out, OPT_IF_TSRESOL, &microseconds, 1);
    put_option(out, OPT_END, nullptr, 0);
    close_block(out, begin);
    return out;
}

void append_packet(std::vector<uint8_t>& out, uint64_t time_us, const Header& header, const uint8_t* bytes,
                   size_t length)
{
    const size_t begin = out.size();
    const auto captured = static_cast<uint32_t>(HEADER_LENGTH + length);
    put32(out, ENHANCED_PACKET);
    put32(out, 0);
    put32(out, 0); // interface 0
    put32(out, static_cast<uint32_t>(time_us >> 32));
    put32(out, static_cast<uint32_t>(time_us));
    put32(out, captured);
    put32(out, captured);
    const uint8_t head[HEADER_LENGTH] = {VERSION, HEADER_LENGTH, header.direction, header.origin,
                                         header.mode, header.start, header.flags, 0};
    out.insert(out.end(), head, head + HEADER_LENGTH);
    if (length)
        out.insert(out.end(), bytes, bytes + length);
    out.resize(out.size() + (padded(captured) - captured), 0);
    close_block(out, begin);
}

bool read_file(const char* path, std::vector<Record>& records, std::string& error)
{
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path, "rb"), std::fclose);
    if (!file) {
        error = std::string("cannot open ") + path;
        return false;
    }
    std::vector<Interface> interfaces;
    bool section = false;
    std::vector<uint8_t> block;
    for (;;) {
        uint8_t head[8];
        const size_t got = std::fread(head, 1, sizeof head, file.get());
        if (got == 0)
            return section ? true : (error = "empty file", false);
        if (got < sizeof head) {
            error = "cut short inside a block";
            return false;
        }
        const uint32_t type = get32(head);
        const uint32_t total = get32(head + 4);
        if (!section && type != SECTION_HEADER) {
            error = "no pcapng section header";
            return false;
        }
        if (total < 12 || total % 4 != 0 || total > (1u << 24)) {
            error = "block of a bad length";
            return false;
        }
        block.resize(total - 8);
        if (std::fread(block.data(), 1, block.size(), file.get()) != block.size()) {
            error = "cut short inside a block";
            return false;
        }
        const uint8_t* body = block.data();
        const size_t body_length = block.size() - 4; // without the trailing length
        if (type == SECTION_HEADER) {
            if (body_length < 16 || get32(body) != BYTE_ORDER_MAGIC) {
                error = "not a little-endian pcapng section";
                return false;
            }
            section = true;
            interfaces.clear();
        } else if (type == INTERFACE && body_length >= 8) {
            interfaces.push_back({get16(body), resolution(body + 8, body_length - 8)});
        } else if (type == ENHANCED_PACKET && body_length >= 20) {
            const uint32_t id = get32(body);
            const uint32_t captured = get32(body + 12);
            if (id >= interfaces.size() || captured > body_length - 20) {
                error = "packet of an unknown interface or a bad length";
                return false;
            }
            if (interfaces[id].link_type != LINKTYPE || captured < HEADER_LENGTH)
                continue;
            const uint8_t* data = body + 20;
            const uint8_t skip = data[1] < HEADER_LENGTH ? HEADER_LENGTH : data[1];
            if (data[0] != VERSION || skip > captured)
                continue;
            Record& r = records.emplace_back();
            const uint64_t stamp = (static_cast<uint64_t>(get32(body + 4)) << 32) | get32(body + 8);
            const uint64_t per_second = interfaces[id].per_second;
            r.time_us = per_second == 1000000 ? stamp
                                              : static_cast<uint64_t>(static_cast<double>(stamp) * 1e6 /
                                                                      static_cast<double>(per_second));
            r.header = {data[2], data[3], data[4], data[5], data[6]};
            r.bytes.assign(data + skip, data + captured);
        } else if (type == SIMPLE_PACKET) {
            continue; // no time stamp and no header of ours: not one of the library's
        }
    }
}

} // namespace orma_capture
