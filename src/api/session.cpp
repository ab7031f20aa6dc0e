#include "api/session.h"

OrmaState& g_orma = *new OrmaState;

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
