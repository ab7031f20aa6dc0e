// The wake word over a Linux futex: the kernel compares the word and sleeps in one step, so a
// change between the look and the sleep is never missed.
#include "support/wake_word.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the futex is the count itself");

WakeWord::WakeWord() : os_(nullptr) {}

void WakeWord::wake_all()
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&count_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

bool WakeWord::wait_os(uint32_t seen, std::chrono::steady_clock::time_point until)
{
    // steady_clock is CLOCK_MONOTONIC, which FUTEX_WAIT_BITSET takes as an absolute time.
    const auto since_epoch = until.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    const timespec at{static_cast<time_t>(seconds.count()),
                      static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - seconds).count())};
    while (count_.load() == seen) {
        if (syscall(SYS_futex, reinterpret_cast<uint32_t*>(&count_), FUTEX_WAIT_BITSET_PRIVATE, seen, &at, nullptr,
                    FUTEX_BITSET_MATCH_ANY) != 0 &&
            errno == ETIMEDOUT)
            return count_.load() != seen;
    }
    return true;
}
