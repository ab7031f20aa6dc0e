#include "sim_replay.h"

#include "sim_cli.h"

#include <algorithm>

namespace sim {

namespace cap = orma_capture;

namespace {

bool is_response(const Bytes& message)
{
    return !message.empty() && message[0] >= 0x80 && message[0] < 0xC0;
}

} // namespace

Replay::Replay(const std::vector<cap::Record>& records, double speed) : speed_(speed > 0 ? speed : 1.0)
{
    const uint64_t origin = records.empty() ? 0 : records.front().time_us;
    Command* current = nullptr;  // the command whose answer the records to the host belong to
    bool answered = false;       // its response was seen: later messages came unasked
    std::vector<Step> held;      // noise, kept for the message after it
    for (const cap::Record& r : records) {
        if (r.header.origin == cap::MADE_UP)
            continue;
        size_t length = 0;
        const uint8_t* message = r.message(&length);
        const uint8_t flags = r.header.flags;
        if (r.header.direction == cap::TO_MODULE) {
            if (!message || length == 0)
                continue;
            current = &commands_.emplace_back();
            current->message.assign(message, message + length);
            answered = false;
            held.clear();
            continue;
        }
        Step step;
        if (flags & cap::LINK) {
            // Only the module's own drops are played: the host's side of a drop is not the module's doing.
            if (!(flags & cap::MODULE) || r.bytes.size() != 1 || r.bytes[0] != cap::LINK_DOWN)
                continue;
            step.kind = Step::DROP;
        } else if (r.header.direction != cap::TO_HOST) {
            continue;
        } else if (flags & (cap::NOISE | cap::BAD_SUM)) {
            step = {Step::RAW, r.bytes, static_cast<uint8_t>(flags & (cap::NOISE | cap::BAD_SUM))};
        } else if (message && length > 0) {
            step.bytes.assign(message, message + length);
        } else {
            continue;
        }
        if (step.kind == Step::RAW && (flags & cap::NOISE)) {
            held.push_back(std::move(step)); // goes where the frame after it goes
            continue;
        }
        const bool unasked = !current || (answered && step.kind == Step::MESSAGE);
        std::vector<Step> group;
        group.swap(held);
        group.push_back(std::move(step));
        if (unasked) {
            const uint64_t offset = r.time_us > origin ? r.time_us - origin : 0;
            for (Step& s : group)
                timed_.push_back({offset, std::move(s)});
        } else {
            answered = answered || (group.back().kind == Step::MESSAGE && is_response(group.back().bytes)) ||
                       (group.back().flags & cap::BAD_SUM);
            for (Step& s : group)
                current->answer.push_back(std::move(s));
        }
    }
}

const std::vector<Step>* Replay::answer(const uint8_t* message, size_t size)
{
    const Bytes wanted(message, message + size);
    auto unused = [&](auto same) {
        return std::find_if(commands_.begin(), commands_.end(), [&](const Command& c) { return !c.used && same(c); });
    };
    auto found = unused([&](const Command& c) { return c.message == wanted; });
    if (found == commands_.end())
        found = unused([&](const Command& c) { return size > 0 && c.message[0] == message[0]; });
    if (found == commands_.end()) {
        ++unmatched_;
        return nullptr;
    }
    found->used = true;
    ++matched_;
    return &found->answer;
}

void Replay::begin(Clock::time_point now)
{
    if (!begun_)
        start_ = now;
    begun_ = true;
}

Clock::time_point Replay::next_due() const
{
    if (!begun_ || next_timed_ >= timed_.size())
        return Clock::time_point::max();
    const auto offset = std::chrono::duration<double, std::micro>(static_cast<double>(timed_[next_timed_].offset_us) / speed_);
    return start_ + std::chrono::duration_cast<Clock::duration>(offset);
}

bool Replay::due(Clock::time_point now, Step& step)
{
    if (next_due() > now)
        return false;
    step = timed_[next_timed_++].step;
    if (step.kind == Step::MESSAGE)
        ++sent_;
    return true;
}

std::string Replay::summary() const
{
    return "replay: matched " + std::to_string(matched_) + ", unmatched " + std::to_string(unmatched_) +
           ", notifications sent " + std::to_string(sent_);
}

void Replay::report()
{
    const long now = matched_ + unmatched_ + sent_;
    if (now != reported_)
        say(summary());
    reported_ = now;
}

Recording::Recording(const ModuleOptions& o, uint8_t mode)
{
    if (!o.replay.empty()) {
        std::vector<cap::Record> records;
        std::string error;
        if (!cap::read_file(o.replay.c_str(), records, error)) {
            if (records.empty())
                usage_error("cannot replay " + o.replay + ": " + error);
            say("replay: " + o.replay + " is " + error + "; playing the " + std::to_string(records.size()) +
                " records before");
        }
        replay = std::make_unique<Replay>(records, o.speed);
    }
    if (!o.capture.empty())
        capture = std::make_unique<Capture>(o.capture, mode);
}

} // namespace sim
