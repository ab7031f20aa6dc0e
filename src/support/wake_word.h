// A count of changes that threads wait on until it moves on: a condition variable without a
// mutex. Where the OS can wait on a word (a futex on Linux), a wait and a wake cost one system
// call each, and a change costs none while nobody waits.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

struct WakeWordOs; // the backend's own state, if it needs one

class WakeWord {
public:
    WakeWord();
    uint32_t load() const { return count_.load(); }
    // Moves the count on and wakes every thread that waits.
    void bump();
    // Waits until the count is no longer `seen` (true) or `until` passes (false).
    bool wait(uint32_t seen, std::chrono::steady_clock::time_point until);

private:
    // The count moves on before the waiters are looked at, and a waiter is counted before it
    // looks at the count: one of the two always sees the other.
    std::atomic<uint32_t> count_{0};
    std::atomic<int> waiting_{0};
    [[maybe_unused]] WakeWordOs* os_; // null where the backend needs none
    void wake_all();
    bool wait_os(uint32_t seen, std::chrono::steady_clock::time_point until);
};

inline void WakeWord::bump()
{
    count_.fetch_add(1);
    if (waiting_.load() != 0)
        wake_all();
}

inline bool WakeWord::wait(uint32_t seen, std::chrono::steady_clock::time_point until)
{
    waiting_.fetch_add(1);
    const bool moved = wait_os(seen, until);
    waiting_.fetch_sub(1);
    return moved;
}
