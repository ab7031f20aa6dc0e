// A lock that a thread may wait for until a point in time, built on a mutex and a condition
// variable (ThreadSanitizer does not see the system's clocked mutex waits, so std::timed_mutex
// looks to it like an unlock of a mutex that was never locked).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class TimedLock {
public:
    void lock()
    {
        std::unique_lock hold(mutex_);
        free_.wait(hold, [this] { return !held_; });
        held_ = true;
    }
    template <typename Clock, typename Duration>
    bool try_lock_until(const std::chrono::time_point<Clock, Duration>& until)
    {
        std::unique_lock hold(mutex_);
        if (!free_.wait_until(hold, until, [this] { return !held_; }))
            return false;
        held_ = true;
        return true;
    }
    void unlock()
    {
        {
            const std::lock_guard hold(mutex_);
            held_ = false;
        }
        free_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable free_;
    bool held_ = false;
};
