#include "support/sem.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>

// A binary semaphore that, like a Win32 semaphore of maximum count 1, ignores a release while it
// is free and may be released by any thread. A closed semaphore is never freed: a wait that was
// still under way when it was closed fails instead of reading freed memory, and the object is
// kept for the next create.
struct SemHandle {
    std::mutex mutex;
    std::condition_variable cond;
    bool free = true;
    uint64_t generation = 0; // raised by every close: waits of an earlier life fail
    SemHandle* next_spare = nullptr;
};

namespace {
std::mutex g_spares_lock;
SemHandle* g_spares = nullptr;
} // namespace

SemHandle* sem_os_create()
{
    SemHandle* sem = nullptr;
    {
        std::lock_guard lock(g_spares_lock);
        if ((sem = g_spares) != nullptr)
            g_spares = sem->next_spare;
    }
    if (!sem)
        sem = new (std::nothrow) SemHandle;
    sem_os_release(sem); // a spare may have been closed while taken: free again
    return sem;
}

void sem_os_close(SemHandle* sem)
{
    if (!sem)
        return;
    {
        std::lock_guard lock(sem->mutex);
        ++sem->generation;
        sem->free = true;
    }
    sem->cond.notify_all();
    std::lock_guard lock(g_spares_lock);
    sem->next_spare = g_spares;
    g_spares = sem;
}

bool sem_os_wait(SemHandle* sem, unsigned ms)
{
    if (!sem)
        return false;
    std::unique_lock lock(sem->mutex);
    const uint64_t life = sem->generation;
    if (!sem->cond.wait_for(lock, std::chrono::milliseconds(ms), [&] { return sem->free || sem->generation != life; }))
        return false;
    if (sem->generation != life)
        return false;
    sem->free = false;
    return true;
}

void sem_os_release(SemHandle* sem)
{
    if (!sem)
        return;
    {
        std::lock_guard lock(sem->mutex);
        sem->free = true;
    }
    sem->cond.notify_one();
}
