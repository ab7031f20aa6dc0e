// The library is being unloaded while the process goes on (FreeLibrary, dlclose), perhaps without
// ORMA_DLL_Exit: every library thread is stopped and has left the library's code, without being
// waited for by its handle, before the code goes away.
#pragma once

void orma_unload() noexcept;
