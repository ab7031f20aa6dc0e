// One connection's work, the same on every system; see sim_session.h.
#include "sim_session.h"

#include "sim_capture.h"
#include "sim_cli.h"
#include "sim_replay.h"

#include <algorithm>

namespace sim {

namespace {

int ms_until(Clock::time_point when)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left) + 1;
}

// The shorter of two timeouts, -1 meaning none.
int sooner(int timeout, int t)
{
    return timeout < 0 ? t : t < 0 ? timeout : std::min(timeout, t);
}

} // namespace

Session::Session(Line& line, const Options& options, Context& context)
    : line_(line), o_(options), context_(context), module_(options, context, *this, true)
{
    if (line.host_at_start())
        module_.begin_replay();
    if (context_.capture)
        context_.capture->link(true);
}

long Session::run()
{
    while (!closed_) {
        // A piece whose gap has not passed yet is no reason to wait for the line to take it.
        const bool want_write = !out_.empty() && out_.front().due <= Clock::now();
        const Line::Ready ready = line_.wait(want_write, timeout_ms());
        if (ready.stop)
            break;
        module_.timers();
        if (ready.writable || (!out_.empty() && out_.front().due <= Clock::now()))
            flush_some();
        if (ready.readable)
            receive();
        if (module_.drop_pending() && out_.empty() && !closed_) {
            say("dropping the connection after " + std::to_string(module_.received()) + " commands");
            if (context_.capture)
                context_.capture->link(false);
            dropped_ = true;
            closed_ = true;
        }
    }
    if (context_.replay)
        context_.replay->report();
    return module_.answered();
}

int Session::timeout_ms() const
{
    int timeout = module_.timeout_ms();
    if (!out_.empty() && out_.front().due > Clock::now())
        timeout = sooner(timeout, ms_until(out_.front().due));
    return timeout;
}

void Session::receive()
{
    uint8_t bytes[4096];
    const long n = line_.read(bytes, sizeof bytes);
    if (n == 0 || n == Line::GONE) {
        closed_ = true; // the peer went away
        return;
    }
    if (n < 0)
        return;
    rx_.feed(bytes, static_cast<size_t>(n));
    Bytes frame;
    while (!closed_ && !module_.drop_pending() && rx_.next(frame))
        on_frame(frame);
}

void Session::on_frame(const Bytes& frame)
{
    if (context_.record) {
        std::fprintf(context_.record, "%s\n", hex(frame).c_str());
        std::fflush(context_.record);
    }
    if (o_.verbose)
        say("rx " + hex(frame));
    if (context_.capture)
        context_.capture->received(frame, frame[0]);
    module_.receive(frame[0], frame.data() + 2, frame.size() - FRAME_OVERHEAD);
}

// Queues one frame, with noise before it and cut into pieces as the options ask. Notifications
// go out with start byte AA, answers with that of their command.
void Session::send(uint8_t tag, const Bytes& message, bool notification, bool bad_checksum)
{
    const uint8_t start = notification || !is_start(tag) ? START_FLOW : tag;
    const Bytes frame = make_frame(start, message, bad_checksum);
    if (o_.verbose)
        say("tx " + hex(frame) + (bad_checksum ? " (bad checksum)" : ""));
    Bytes unit = make_noise(context_.rng, o_.noise, frame);
    if (context_.capture) {
        if (!unit.empty())
            context_.capture->sent(unit, 0, orma_capture::NOISE);
        context_.capture->sent(frame, start, bad_checksum ? orma_capture::BAD_SUM : 0);
    }
    unit.insert(unit.end(), frame.begin(), frame.end());
    queue(std::move(unit));
}

// Recorded bytes as they are (--replay): noise, or a frame with a wrong checksum.
void Session::raw(const Bytes& bytes, uint8_t flags)
{
    if (o_.verbose)
        say("tx " + hex(bytes) + ((flags & orma_capture::NOISE) ? " (noise)" : " (bad checksum)"));
    if (context_.capture)
        context_.capture->sent(bytes, (flags & orma_capture::BAD_SUM) && !bytes.empty() ? bytes[0] : 0, flags);
    queue(bytes);
}

void Session::queue(Bytes unit)
{
    auto due = out_.empty() ? Clock::now() : out_.back().due;
    for (auto& piece : pace(context_.rng, unit, o_.split, o_.gap_min, o_.gap_max)) {
        due = std::max(due, Clock::now()) + std::chrono::milliseconds(piece.gap_ms);
        out_.push_back({std::move(piece.bytes), due});
    }
    flush_some();
}

// Writes queued pieces whose time has come, each with its own write, as far as the peer takes
// them now.
void Session::flush_some()
{
    while (!out_.empty() && out_.front().due <= Clock::now()) {
        Bytes& piece = out_.front().bytes;
        const long n = line_.write(piece.data() + sent_, piece.size() - sent_);
        if (n == Line::LATER)
            return;
        if (n < 0) {
            closed_ = n == Line::GONE;
            out_.clear();
            sent_ = 0;
            return;
        }
        sent_ += static_cast<size_t>(n);
        if (sent_ == piece.size()) {
            out_.pop_front();
            sent_ = 0;
        }
    }
}

} // namespace sim
