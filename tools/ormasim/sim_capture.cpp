#include "sim_capture.h"

#include "sim_cli.h"

#include <algorithm>
#include <chrono>

namespace sim {

namespace cap = orma_capture;

Capture::Capture(const std::string& path, uint8_t mode) : file_(std::fopen(path.c_str(), "wb")), mode_(mode)
{
    if (!file_)
        usage_error("cannot write " + path);
    const Bytes head = cap::file_head(std::string("ormasim ") + ORMA_VERSION);
    std::fwrite(head.data(), 1, head.size(), file_);
    std::fflush(file_);
}

Capture::~Capture()
{
    std::fclose(file_);
}

void Capture::received(const Bytes& bytes, uint8_t start)
{
    put(cap::TO_MODULE, start, start ? cap::FRAME : 0, bytes);
}

void Capture::sent(const Bytes& bytes, uint8_t start, uint8_t flags)
{
    put(cap::TO_HOST, start, flags ? flags : start ? cap::FRAME : 0, bytes);
}

void Capture::link(bool up)
{
    put(cap::NO_DIRECTION, 0, cap::LINK, {up ? cap::LINK_UP : cap::LINK_DOWN});
}

void Capture::put(uint8_t direction, uint8_t start, uint8_t flags, const Bytes& bytes)
{
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    // Every record later than the one before, even when the clock stands still or steps back.
    last_us_ = std::max(last_us_ + 1, static_cast<uint64_t>(now.count()));
    cap::Header header;
    header.direction = direction;
    header.mode = mode_;
    header.start = start;
    header.flags = static_cast<uint8_t>(flags | cap::MODULE);
    Bytes block;
    cap::append_packet(block, last_us_, header, bytes.data(), bytes.size());
    std::fwrite(block.data(), 1, block.size(), file_);
    std::fflush(file_);
}

} // namespace sim
