#include "support/sem.h"

#include <windows.h>

SemHandle* sem_os_create()
{
    return reinterpret_cast<SemHandle*>(CreateSemaphoreA(nullptr, 1, 1, nullptr));
}

void sem_os_close(SemHandle* sem)
{
    if (sem)
        CloseHandle(reinterpret_cast<HANDLE>(sem));
}

bool sem_os_wait(SemHandle* sem, unsigned ms)
{
    if (!sem)
        return false;
    return WaitForSingleObject(reinterpret_cast<HANDLE>(sem), ms) == WAIT_OBJECT_0;
}

void sem_os_release(SemHandle* sem)
{
    if (sem)
        ReleaseSemaphore(reinterpret_cast<HANDLE>(sem), 1, nullptr);
}
