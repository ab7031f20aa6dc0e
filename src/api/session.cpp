#include "api/session.h"

OrmaState& g_orma = *new OrmaState;

namespace {

struct StartWaits {
    std::mutex lock;
    std::condition_variable changed;
    int stops = 0; // stops waiting for the start
    bool up = false;
};
StartWaits& g_start_waits = *new StartWaits;

} // namespace

void start_waits_begin()
{
    const std::lock_guard hold(g_start_waits.lock);
    g_start_waits.up = false;
}

void start_waits_link_up()
{
    {
        const std::lock_guard hold(g_start_waits.lock);
        g_start_waits.up = true;
    }
    g_start_waits.changed.notify_all();
}

void start_waits_stop_coming(int change)
{
    {
        const std::lock_guard hold(g_start_waits.lock);
        g_start_waits.stops += change;
    }
    g_start_waits.changed.notify_all();
}

void start_wait(std::chrono::milliseconds how_long, bool until_up)
{
    std::unique_lock hold(g_start_waits.lock);
    g_start_waits.changed.wait_for(hold, how_long,
                                   [&] { return g_start_waits.stops > 0 || (until_up && g_start_waits.up); });
}

void SessionGate::open()
{
    open_ = true;
}

bool SessionGate::close(std::chrono::milliseconds limit)
{
    open_ = false;
    std::unique_lock lock(lock_);
    return idle_.wait_for(lock, limit, [this] { return users_ == 0; });
}

// The count is raised before the flag is read, and the flag cleared before the count is read, so
// that a use and a close never miss each other.
bool SessionGate::enter()
{
    users_.fetch_add(1);
    if (open_)
        return true;
    leave();
    return false;
}

void SessionGate::leave()
{
    if (users_.fetch_sub(1) == 1) {
        std::lock_guard lock(lock_);
        idle_.notify_all();
    }
}
