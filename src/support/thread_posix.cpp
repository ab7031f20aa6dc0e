#include "support/thread.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

// Owned by the starter and by the thread: whichever lets go last frees it, so that a thread that
// was given up can still say that it has left.
struct LibThread {
    pthread_t handle{};
    LibThreadBody body = nullptr;
    void* arg = nullptr;
    std::mutex lock;
    std::condition_variable cond;
    bool left = false;
    std::atomic<int> owners{2};
};

namespace {

void let_go(LibThread* t)
{
    if (t->owners.fetch_sub(1) == 1)
        delete t;
}

void* run(void* record)
{
    auto* t = static_cast<LibThread*>(record);
    t->body(t->arg);
    {
        std::lock_guard hold(t->lock);
        t->left = true;
    }
    t->cond.notify_all();
    let_go(t);
    return nullptr;
}

} // namespace

LibThread* thread_start(LibThreadBody body, void* arg)
{
    auto* t = new (std::nothrow) LibThread;
    if (!t) {
        errno = ENOMEM;
        return nullptr;
    }
    t->body = body;
    t->arg = arg;
    if (const int error = pthread_create(&t->handle, nullptr, run, t); error != 0) {
        delete t;
        errno = error;
        return nullptr;
    }
    return t;
}

bool thread_wait_left(LibThread* t, unsigned ms)
{
    std::unique_lock hold(t->lock);
    return t->cond.wait_for(hold, std::chrono::milliseconds(ms), [t] { return t->left; });
}

void thread_forget(LibThread* t)
{
    bool left;
    {
        std::lock_guard hold(t->lock);
        left = t->left;
    }
    if (left)
        pthread_join(t->handle, nullptr);
    else
        pthread_detach(t->handle);
    let_go(t);
}

bool thread_is_current(const LibThread* t)
{
    return pthread_equal(t->handle, pthread_self()) != 0;
}
