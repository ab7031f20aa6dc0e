// The library's entry point on Windows. Threads are stopped only when the library is freed while
// the process goes on; at process exit the other threads are gone already and nothing is waited
// for. Inside DllMain the loader lock is held, so no thread is waited for by its handle (its end
// needs that lock): each library thread signals that it has left the library's code instead.
#include "api/unload.h"

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr)
        orma_unload();
    return TRUE;
}
