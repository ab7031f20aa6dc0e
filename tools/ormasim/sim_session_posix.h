// One connection of the Linux roles (a TCP peer or the pseudo-terminal): reassembly of the
// host's frames, the answers, the queue of writes with their pauses, and the per-connection
// counters that the misbehaviour options look at.
#pragma once

#include "sim_cli.h"
#include "sim_core.h"
#include "sim_posix.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <string>

namespace sim {

// The pseudo-terminal's settings go back to those of a fresh line.
void reset_line(int fd);

class Session {
public:
    Session(int fd, bool serial, const Options& options, Rng& rng, FILE* record, Clock::time_point epoch)
        : fd_(fd), serial_(serial), o_(options), rng_(rng), record_(record), epoch_(epoch)
    {
        notify_ms_ = o_.notify_ms;
        next_notify_ = Clock::now() + std::chrono::milliseconds(notify_ms_);
        silent_ = o_.silent_after == 0;
    }

    // Runs until the peer goes away, the connection is dropped or a stop is asked for.
    // Returns the number of commands answered.
    long run()
    {
        while (!g_stop && !closed_) {
            pollfd p{fd_, POLLIN, 0};
            if (!out_.empty())
                p.events |= POLLOUT;
            int timeout = -1;
            if (notify_ms_ > 0)
                timeout = ms_until(next_notify_);
            if (!delayed_.empty()) {
                const int t = ms_until(delayed_.front().due);
                timeout = timeout < 0 ? t : std::min(timeout, t);
            }
            if (!out_.empty() && out_.front().due > Clock::now()) { // the next piece waits its gap
                p.events &= ~POLLOUT;
                const int t = ms_until(out_.front().due);
                timeout = timeout < 0 ? t : std::min(timeout, t);
            }
            if (absent_) {
                // Nobody holds the other end of the pseudo-terminal: look again a little later.
                timeout = timeout < 0 ? ABSENT_POLL_MS : std::min(timeout, ABSENT_POLL_MS);
                p.events = 0;
            }
            const int ready = poll(&p, absent_ ? 0 : 1, timeout);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                fail("poll");
            }
            absent_ = false;
            while (!delayed_.empty() && Clock::now() >= delayed_.front().due) {
                send(delayed_.front().start, delayed_.front().message, delayed_.front().bad);
                delayed_.pop_front();
            }
            if (notify_ms_ > 0 && Clock::now() >= next_notify_) {
                periodic();
                next_notify_ += std::chrono::milliseconds(notify_ms_);
                if (next_notify_ < Clock::now())
                    next_notify_ = Clock::now() + std::chrono::milliseconds(notify_ms_);
            }
            if ((p.revents & POLLOUT) || (!out_.empty() && out_.front().due <= Clock::now()))
                flush_some();
            if (serial_ && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN))
                absent_ = true; // nobody holds the other end now, or not yet
            else if (p.revents & (POLLIN | POLLHUP | POLLERR))
                receive();
            if (drop_pending_ && out_.empty())
                drop();
        }
        return answered_;
    }

    bool dropped() const { return dropped_; }
    // How long the line is to stay away after the session (7F 07), or 0.
    int unplug_ms() const { return unplug_ms_; }

private:
    static constexpr int ABSENT_POLL_MS = 20;

    struct Delayed {
        Clock::time_point due;
        uint8_t start;
        Bytes message;
        bool bad;
    };

    static int ms_until(Clock::time_point when)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
        return left < 0 ? 0 : static_cast<int>(left) + 1;
    }

    // The host closed its end of the pseudo-terminal. Its settings go back to those of a fresh
    // line, so that the next open changes them as it would on a new port.
    void host_left()
    {
        if (present_)
            reset_line(fd_);
        present_ = false;
        absent_ = true;
    }

    int32_t now_ms() const
    {
        return static_cast<int32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - epoch_).count());
    }

    void receive()
    {
        uint8_t bytes[4096];
        const ssize_t n = read(fd_, bytes, sizeof bytes);
        if (serial_ && n < 0 && errno == EIO) {
            host_left(); // the host closed its end; it may open it again
            return;
        }
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            closed_ = true; // the peer went away
            return;
        }
        if (n < 0)
            return;
        present_ = true;
        rx_.feed(bytes, static_cast<size_t>(n));
        Bytes frame;
        while (!closed_ && !drop_pending_ && rx_.next(frame))
            on_frame(frame.data(), static_cast<int>(frame.size()));
    }

    void on_frame(const uint8_t* frame, int length)
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
    bool control(const uint8_t* message, int size)
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

    void send_subchannel()
    {
        const SubChannel sc = next_subchannel(rng_);
        send(START_FLOW, subchannel_notification(subchannel_word(sc), now_ms()), false);
    }

    void periodic()
    {
        send_subchannel();
        if (++ticks_ % 4 == 0)
            send(START_FLOW, error_notification(2, last_command_, now_ms()), false);
    }

    // Queues one frame, with noise before it and cut into pieces as the options ask.
    void send(uint8_t start, const Bytes& message, bool bad_checksum)
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

    // Writes queued pieces whose time has come, each with its own write, as far as the peer
    // takes them now.
    void flush_some()
    {
        while (!out_.empty() && out_.front().due <= Clock::now()) {
            Bytes& piece = out_.front().bytes;
            const ssize_t n = write(fd_, piece.data() + sent_, piece.size() - sent_);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    return;
                if (serial_ && errno == EIO) { // nobody on the line: the bytes are lost
                    out_.clear();
                    sent_ = 0;
                    return;
                }
                closed_ = true;
                out_.clear();
                return;
            }
            sent_ += static_cast<size_t>(n);
            if (sent_ == piece.size()) {
                out_.pop_front();
                sent_ = 0;
            }
        }
    }

    void drop()
    {
        say("dropping the connection after " + std::to_string(received_) + " commands");
        dropped_ = true;
        closed_ = true;
    }

    int fd_;
    bool serial_;
    bool absent_ = false;
    bool present_ = false; // the host has sent something since it opened the line
    std::deque<Delayed> delayed_;
    const Options& o_;
    Rng& rng_;
    FILE* record_;
    Clock::time_point epoch_;
    FrameReader rx_;
    struct Out {
        Bytes bytes;
        Clock::time_point due; // not written before
    };
    std::deque<Out> out_;
    size_t sent_ = 0;
    long received_ = 0;
    long answered_ = 0;
    bool silent_ = false;
    bool closed_ = false;
    bool dropped_ = false;
    bool drop_pending_ = false;
    int unplug_ms_ = 0;
    int notify_ms_ = 0;
    long ticks_ = 0;
    uint8_t last_command_ = 0;
    Clock::time_point next_notify_;
};

} // namespace sim
