#include "support/sem.h"

#include "support/fault.h"

#include <atomic>

namespace {
SemHandle* g_sems[SEM_COUNT];
std::atomic<unsigned> g_wait_limit{SEM_WAIT_LIMIT_MS};
} // namespace

void Sem_CreateAll()
{
    for (int i = 0; i < SEM_COUNT; ++i) {
        g_sems[i] = sem_os_create();
        if (!g_sems[i])
            fault_report("Error", "could not create semaphore", FAULT_ICON_STOP);
    }
}

void Sem_CloseAll()
{
    for (int i = 0; i < SEM_COUNT; ++i) {
        sem_os_close(g_sems[i]);
        g_sems[i] = nullptr;
    }
}

void Sem_Wait(int index)
{
    if (!sem_os_wait(g_sems[index], g_wait_limit))
        fault_report("Error", "Timeout during waiting for semaphore", FAULT_ICON_STOP);
}

void Sem_Release(int index)
{
    sem_os_release(g_sems[index]);
}

unsigned sem_set_wait_limit(unsigned ms)
{
    return g_wait_limit.exchange(ms);
}
