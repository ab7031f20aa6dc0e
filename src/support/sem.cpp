#include "support/sem.h"

#include "support/fault.h"

namespace {
SemHandle* g_sems[SEM_COUNT];
}

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
    if (!sem_os_wait(g_sems[index], SEM_WAIT_LIMIT_MS))
        fault_report("Error", "Timeout during waiting for semaphore", FAULT_ICON_STOP);
}

void Sem_Release(int index)
{
    sem_os_release(g_sems[index]);
}
