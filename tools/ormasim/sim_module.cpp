// The module's behaviour, the same in every role; see sim_module.h.
#include "sim_module.h"

#include "sim_replay.h"

#include <algorithm>

namespace sim {

namespace {

int ms_until(Clock::time_point when)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30)) + 1;
}

} // namespace

Module::Module(const ModuleOptions& o, Context& context, Port& port, bool can_unplug)
    : o_(o), context_(context), port_(port), can_unplug_(can_unplug)
{
    notify_ms_ = o_.notify_ms;
    next_notify_ = Clock::now() + std::chrono::milliseconds(notify_ms_);
    silent_ = o_.silent_after == 0;
}

void Module::begin_replay()
{
    if (context_.replay)
        context_.replay->begin(Clock::now());
}

int32_t Module::now_ms() const
{
    return static_cast<int32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - context_.epoch).count());
}

void Module::receive(uint8_t tag, const uint8_t* message, size_t size)
{
    if (!is_command(message, static_cast<int>(size)))
        return;
    last_command_ = message[0];
    ++received_;
    begin_replay(); // on a line without connections, the host's first command
    if (const std::vector<Step>* recorded = context_.replay ? context_.replay->answer(message, size) : nullptr) {
        ++answered_;
        for (const Step& step : *recorded)
            queue(Clock::now(), tag, step, false);
        return;
    }
    answer(tag, message, size);
}

// The module's own answer: the echo, after the control command's work.
void Module::answer(uint8_t tag, const uint8_t* message, size_t size)
{
    if (message[0] == CONTROL_CODE && size >= 2 && !control(tag, message, size))
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
    queue(Clock::now() + delay, tag, {Step::MESSAGE, response_to(message, static_cast<int>(size)), 0}, bad);
    if (o_.drop_after > 0 && answered_ >= o_.drop_after)
        drop_pending_ = true;
}

// Applies a control command; false when it is not to be answered.
bool Module::control(uint8_t tag, const uint8_t* message, size_t size)
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
            send_subchannel(tag);
        return true;
    case CTL_ERROR:
        port_.send(tag, error_notification(1, last_command_, now_ms()), true, false);
        return true;
    case CTL_SILENT:
        silent_ = true;
        return false;
    case CTL_DROP:
        drop_pending_ = true;
        return false;
    case CTL_UNPLUG:
        if (!can_unplug_)
            return true;
        unplug_ms_ = size >= 4 ? std::max(1, message[2] << 8 | message[3]) : 1;
        drop_pending_ = true;
        return false;
    default:
        return true;
    }
}

void Module::send_subchannel(uint8_t tag)
{
    const SubChannel sc = next_subchannel(context_.rng);
    port_.send(tag, subchannel_notification(subchannel_word(sc), now_ms()), true, false);
}

// Answers keep their order: one behind a delayed answer waits for it.
void Module::queue(Clock::time_point due, uint8_t tag, Step step, bool bad)
{
    if (due > Clock::now() || !delayed_.empty())
        delayed_.push_back({due, tag, std::move(step), bad});
    else
        play(tag, step, bad);
}

void Module::play(uint8_t tag, const Step& step, bool bad)
{
    switch (step.kind) {
    case Step::MESSAGE: port_.send(tag, step.bytes, false, bad); break;
    case Step::RAW: port_.raw(step.bytes, step.flags); break;
    case Step::DROP: drop_pending_ = true; break;
    }
}

void Module::timers()
{
    const auto now = Clock::now();
    while (!delayed_.empty() && now >= delayed_.front().due) {
        const Delayed d = std::move(delayed_.front());
        delayed_.pop_front();
        play(d.tag, d.step, d.bad);
    }
    if (notify_ms_ > 0 && now >= next_notify_) {
        send_subchannel(0);
        if (++ticks_ % 4 == 0)
            port_.send(0, error_notification(2, last_command_, now_ms()), true, false);
        next_notify_ += std::chrono::milliseconds(notify_ms_);
        if (next_notify_ < now)
            next_notify_ = now + std::chrono::milliseconds(notify_ms_);
    }
    Step step;
    while (context_.replay && context_.replay->due(now, step)) {
        if (step.kind == Step::MESSAGE)
            port_.send(0, step.bytes, true, false);
        else
            play(0, step, false);
    }
}

int Module::timeout_ms() const
{
    auto next = Clock::time_point::max();
    if (notify_ms_ > 0)
        next = next_notify_;
    if (!delayed_.empty())
        next = std::min(next, delayed_.front().due);
    if (context_.replay)
        next = std::min(next, context_.replay->next_due());
    return next == Clock::time_point::max() ? -1 : ms_until(next);
}

} // namespace sim
