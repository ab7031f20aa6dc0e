// The eight process-wide locks, addressed by index. Each is a semaphore of count one, so it may
// be taken in one function and given back in another, and by another thread.
#pragma once

enum SemIndex : int {
    SEM_MSG_LISTS = 0, // the message lists (append, remove the first record)
    SEM_HEAP = 2,      // the tracking heap's table, stamp and counters
};

constexpr int SEM_COUNT = 8;
constexpr unsigned SEM_WAIT_LIMIT_MS = 30000;

void Sem_CreateAll();
void Sem_CloseAll();
void Sem_Wait(int index);
void Sem_Release(int index);
// The limit of every Sem_Wait, SEM_WAIT_LIMIT_MS unless a test shortens it; returns the previous one.
unsigned sem_set_wait_limit(unsigned ms);

// Backend: one semaphore with initial and maximum count 1.
struct SemHandle;
SemHandle* sem_os_create();                    // null on failure
void sem_os_close(SemHandle* sem);             // accepts null
bool sem_os_wait(SemHandle* sem, unsigned ms); // false on time-out or failure (also for null)
void sem_os_release(SemHandle* sem);           // no effect when the count is already 1
