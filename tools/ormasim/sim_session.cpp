// One connection's work, the same on every system; see sim_session.h.
#include "sim_session.h"

#include "sim_cli.h"

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
    return timeout < 0 ? t : std::min(timeout, t);
}

} // namespace

Session::Session(Line& line, const Options& options, Rng& rng, FILE* record, Clock::time_point epoch)
    : line_(line), o_(options), rng_(rng), record_(record), epoch_(epoch)
{
    notify_ms_ = o_.notify_ms;
    next_notify_ = Clock::now() + std::chrono::milliseconds(notify_ms_);
    silent_ = o_.silent_after == 0;
}

long Session::run()
{
    while (!closed_) {
        // A piece whose gap has not passed yet is no reason to wait for the line to take it.
        const bool want_write = !out_.empty() && out_.front().due <= Clock::now();
        const Line::Ready ready = line_.wait(want_write, timeout_ms());
        if (ready.stop)
            break;
        timers();
        if (ready.writable || (!out_.empty() && out_.front().due <= Clock::now()))
            flush_some();
        if (ready.readable)
            receive();
        if (drop_pending_ && out_.empty()) {
            say("dropping the connection after " + std::to_string(received_) + " commands");
            dropped_ = true;
            closed_ = true;
        }
    }
    return answered_;
}

int Session::timeout_ms() const
{
    int timeout = -1;
    if (notify_ms_ > 0)
        timeout = ms_until(next_notify_);
    if (!delayed_.empty())
        timeout = sooner(timeout, ms_until(delayed_.front().due));
    if (!out_.empty() && out_.front().due > Clock::now())
        timeout = sooner(timeout, ms_until(out_.front().due));
    return timeout;
}

int32_t Session::now_ms() const
{
    return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - epoch_).count());
}

// Delayed answers and periodic notifications whose time has come.
void Session::timers()
{
    while (!delayed_.empty() && Clock::now() >= delayed_.front().due) {
        send(delayed_.front().start, delayed_.front().message, delayed_.front().bad);
        delayed_.pop_front();
    }
    if (notify_ms_ > 0 && Clock::now() >= next_notify_) {
        send_subchannel();
        if (++ticks_ % 4 == 0)
            send(START_FLOW, error_notification(2, last_command_, now_ms()), false);
        next_notify_ += std::chrono::milliseconds(notify_ms_);
        if (next_notify_ < Clock::now())
            next_notify_ = Clock::now() + std::chrono::milliseconds(notify_ms_);
    }
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
    while (!closed_ && !drop_pending_ && rx_.next(frame))
        on_frame(frame.data(), static_cast<int>(frame.size()));
}

void Session::on_frame(const uint8_t* frame, int length)
{
    if (record_) {
        std::fprintf(record_, "%s\n", hex(frame, static_cast<size_t>(length)).c_str());
        std::fflush(record_);
    }
    if (o_.verbose)
        say("rx " + hex(frame, static_cast<size_t>(length)));
    const uint8_t start = frame[0];
    const uint8_t* message = frame + 2;
    const int size = length - static_cast<int>(FRAME_OVERHEAD);
    if (!is_command(message, size))
        return;
    last_command_ = message[0];
    ++received_;
    if (message[0] == CONTROL_CODE && size >= 2 && !control(message, size))
        return;
    if (silent_)
        return;
    if (o_.silent_after >= 0 && received_ > o_.silent_after) {
        silent_ = true;
        return;
    }
    ++answered_;
    const bool bad = o_.bad_checksum > 0 && answered_ % o_.bad_checksum == 0;
    auto delay = std::chrono::milliseconds(0);
    if (message[0] == CONTROL_CODE && size >= 4 && message[1] == CTL_DELAY)
        delay = std::chrono::milliseconds(message[2] << 8 | message[3]);
    if (delay.count() > 0 || !delayed_.empty()) // answers keep their order
        delayed_.push_back({Clock::now() + delay, start, response_to(message, size), bad});
    else
        send(start, response_to(message, size), bad);
    if (o_.drop_after > 0 && answered_ >= o_.drop_after)
        drop_pending_ = true;
}

// Applies a control command; false when it is not to be answered.
bool Session::control(const uint8_t* message, int size)
{
    switch (message[1]) {
    case CTL_PERIODIC:
        if (size >= 4) {
            notify_ms_ = message[2] << 8 | message[3];
            next_notify_ = Clock::now() + std::chrono::milliseconds(notify_ms_);
        }
        return true;
    case CTL_SUBCHANNELS:
        for (int i = 0; size >= 3 && i < message[2]; ++i)
            send_subchannel();
        return true;
    case CTL_ERROR:
        send(START_FLOW, error_notification(1, last_command_, now_ms()), false);
        return true;
    case CTL_SILENT:
        silent_ = true;
        return false;
    case CTL_DROP:
        drop_pending_ = true;
        return false;
    case CTL_UNPLUG:
        unplug_ms_ = size >= 4 ? std::max(1, message[2] << 8 | message[3]) : 1;
        drop_pending_ = true;
        return false;
    default:
        return true;
    }
}

void Session::send_subchannel()
{
    const SubChannel sc = next_subchannel(rng_);
    send(START_FLOW, subchannel_notification(subchannel_word(sc), now_ms()), false);
}

// Queues one frame, with noise before it and cut into pieces as the options ask.
void Session::send(uint8_t start, const Bytes& message, bool bad_checksum)
{
    const Bytes frame = make_frame(start, message, bad_checksum);
    if (o_.verbose)
        say("tx " + hex(frame) + (bad_checksum ? " (bad checksum)" : ""));
    Bytes unit = make_noise(rng_, o_.noise, frame);
    unit.insert(unit.end(), frame.begin(), frame.end());
    auto due = out_.empty() ? Clock::now() : out_.back().due;
    for (auto& piece : pace(rng_, unit, o_.split, o_.gap_min, o_.gap_max)) {
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
