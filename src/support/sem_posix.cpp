#include "support/sem.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

// A binary semaphore that, like a Win32 semaphore of maximum count 1, ignores a release
// while it is free and may be released by any thread.
struct SemHandle {
    std::mutex mutex;
    std::condition_variable cond;
    bool free = true;
};

SemHandle* sem_os_create()
{
    return new (std::nothrow) SemHandle;
}

void sem_os_close(SemHandle* sem)
{
    delete sem;
}

bool sem_os_wait(SemHandle* sem, unsigned ms)
{
    if (!sem)
        return false;
    std::unique_lock lock(sem->mutex);
    if (!sem->cond.wait_for(lock, std::chrono::milliseconds(ms), [sem] { return sem->free; }))
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
