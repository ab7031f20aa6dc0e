// dlclose() of the shared library, or the end of the process: the library's threads are stopped
// before its code goes away.
#include "api/unload.h"

__attribute__((destructor)) static void on_unload()
{
    orma_unload();
}
