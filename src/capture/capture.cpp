#include "capture/capture.h"

#include "ORMA_DLL.h"
#include "link/frame.h"
#include "support/console.h"
#include "support/rotate.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

namespace capture_detail {
std::atomic<bool> g_on{false};
}

namespace {

using namespace orma_capture;

// Records are gathered and written in blocks of about this size, at a link event, after a second
// without a write, and at the stop.
constexpr size_t BLOCK = 64 * 1024;
constexpr auto WRITE_EVERY = std::chrono::seconds(1);

struct Capture {
    std::mutex lock;
    std::FILE* file = nullptr;
    std::string name;
    uint64_t max_bytes = 0;
    uint64_t written = 0; // bytes in the file
    uint8_t mode = 0;
    std::vector<uint8_t> held;
    std::vector<uint8_t> head;
    std::chrono::system_clock::time_point wall_start;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point last_write;
    uint64_t last_stamp = 0;
};

// Never destroyed: a thread that a stop gave up on may still come here.
Capture& g_capture = *new Capture;

void stop_capturing(const char* why)
{
    console_print(ConsoleStream::Err, "ORMA_DLL: capture file \"%s\" %s: no more capturing into it\n",
                  g_capture.name.c_str(), why);
    capture_detail::g_on = false;
    std::fclose(g_capture.file);
    g_capture.file = nullptr;
    g_capture.held.clear();
}

// Writes what is held. Under the lock.
void write_held()
{
    if (!g_capture.file || g_capture.held.empty())
        return;
    const size_t n = std::fwrite(g_capture.held.data(), 1, g_capture.held.size(), g_capture.file);
    g_capture.written += n;
    g_capture.held.clear();
    g_capture.last_write = std::chrono::steady_clock::now();
    if (std::fflush(g_capture.file) != 0 || std::ferror(g_capture.file))
        stop_capturing("cannot be written (disk full?)");
}

// The file as it is goes to "<name>.1"; a new file of the name takes its place. Under the lock.
void rotate()
{
    write_held();
    if (!g_capture.file)
        return;
    g_capture.file = file_rotate(g_capture.file, g_capture.name, "wb");
    g_capture.written = 0;
    if (!g_capture.file) {
        capture_detail::g_on = false;
        console_print(ConsoleStream::Err,
                      "ORMA_DLL: capture file \"%s\" cannot be started again after it reached its MaxSize\n",
                      g_capture.name.c_str());
        return;
    }
    g_capture.held = g_capture.head;
}

uint64_t stamp(std::chrono::steady_clock::time_point now)
{
    using namespace std::chrono;
    const auto since = now - g_capture.start;
    const auto wall = g_capture.wall_start + duration_cast<system_clock::duration>(since);
    uint64_t us = static_cast<uint64_t>(duration_cast<microseconds>(wall.time_since_epoch()).count());
    if (us <= g_capture.last_stamp)
        us = g_capture.last_stamp + 1; // records in the file's order have increasing times
    g_capture.last_stamp = us;
    return us;
}

void add(Header header, const uint8_t* bytes, size_t length, bool write_now = false)
{
    const std::lock_guard hold(g_capture.lock);
    if (!g_capture.file)
        return;
    header.mode = g_capture.mode;
    const size_t before = g_capture.held.size();
    const auto now = std::chrono::steady_clock::now();
    append_packet(g_capture.held, stamp(now), header, bytes, length);
    const size_t record = g_capture.held.size() - before;
    const uint64_t size = g_capture.written + g_capture.held.size();
    if (g_capture.max_bytes && size > g_capture.max_bytes && size - record > g_capture.head.size()) {
        // The record goes into the next file: the bound is kept, and no file is only a head.
        std::vector<uint8_t> moved(g_capture.held.begin() + static_cast<std::ptrdiff_t>(before), g_capture.held.end());
        g_capture.held.resize(before);
        rotate();
        if (!g_capture.file)
            return;
        g_capture.held.insert(g_capture.held.end(), moved.begin(), moved.end());
    }
    if (write_now || g_capture.held.size() >= BLOCK ||
        now - g_capture.last_write >= WRITE_EVERY)
        write_held();
}

} // namespace

namespace capture_detail {

void message(uint8_t direction, uint8_t origin, uint8_t start, const uint8_t* bytes, int length, uint8_t flags)
{
    if (length < 1 || length > 255)
        return;
    Header header{direction, origin, 0, start, flags};
    if (!start) {
        add(header, bytes, static_cast<size_t>(length));
        return;
    }
    uint8_t frame[255 + 3];
    frame[0] = start;
    frame[1] = static_cast<uint8_t>(length);
    std::copy(bytes, bytes + length, frame + 2);
    frame[length + 2] = frame_checksum(frame, length + 2);
    header.flags |= FRAME;
    add(header, frame, static_cast<size_t>(length) + 3);
}

// A start byte whose frame is held whole but fails its checksum is a bad frame; what lies
// between such frames is noise.
void skipped(const uint8_t* bytes, int length)
{
    const Header noise{TO_HOST, FROM_LINK, 0, 0, NOISE};
    int from = 0;
    int at = 0;
    while (at < length) {
        const int total = at + 1 < length ? bytes[at + 1] + 3 : 0;
        if (frame_is_start(bytes[at]) && total > 3 && at + total <= length &&
            frame_checksum(bytes + at, total - 1) != bytes[at + total - 1]) {
            if (at > from)
                add(noise, bytes + from, static_cast<size_t>(at - from));
            add({TO_HOST, FROM_LINK, 0, bytes[at], FRAME | BAD_SUM}, bytes + at, static_cast<size_t>(total));
            at += total;
            from = at;
        } else {
            ++at;
        }
    }
    if (length > from)
        add(noise, bytes + from, static_cast<size_t>(length - from));
}

void link(uint8_t event)
{
    add({NO_DIRECTION, FROM_LINK, 0, 0, LINK}, &event, 1, true);
}

} // namespace capture_detail

void capture_start(const std::string& file, uint64_t max_bytes, uint8_t mode)
{
    capture_stop();
    if (file.empty())
        return;
    const std::lock_guard hold(g_capture.lock);
    g_capture.file = std::fopen(file.c_str(), "wb");
    g_capture.name = file;
    if (!g_capture.file) {
        console_print(ConsoleStream::Err, "ERROR: Unable to create file \"%s\"\n", file.c_str());
        return;
    }
    g_capture.max_bytes = max_bytes;
    g_capture.mode = mode;
    g_capture.written = 0;
    g_capture.last_stamp = 0;
    g_capture.head = file_head("ORMA_DLL " ORMA_DLL_VERSION_STRING);
    g_capture.held = g_capture.head;
    g_capture.wall_start = std::chrono::system_clock::now();
    g_capture.start = g_capture.last_write = std::chrono::steady_clock::now();
    capture_detail::g_on = true;
}

void capture_stop()
{
    if (!capture_on())
        return;
    capture_detail::link(LINK_STOPPED);
    const std::lock_guard hold(g_capture.lock);
    capture_detail::g_on = false;
    write_held();
    if (g_capture.file && std::fclose(g_capture.file) != 0)
        console_print(ConsoleStream::Err, "ORMA_DLL: capture file \"%s\" cannot be written (disk full?)\n",
                      g_capture.name.c_str());
    g_capture.file = nullptr;
    g_capture.held.clear();
}
