// The wake word over a mutex and a condition variable, which every Windows version has.
#include "support/wake_word.h"

#include <condition_variable>
#include <mutex>

struct WakeWordOs {
    std::mutex lock;
    std::condition_variable changed;
};

// Never destroyed: at the process's exit a waiting thread ended by the system may have been
// inside the lock.
WakeWord::WakeWord() : os_(new WakeWordOs) {}

void WakeWord::wake_all()
{
    { const std::lock_guard hold(os_->lock); }
    os_->changed.notify_all();
}

bool WakeWord::wait_os(uint32_t seen, std::chrono::steady_clock::time_point until)
{
    std::unique_lock hold(os_->lock);
    return os_->changed.wait_until(hold, until, [&] { return count_.load() != seen; });
}
