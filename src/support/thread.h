// The library's own threads (the link's receive thread, the fault box thread, the device-side
// workers): started here, and known to have left the library's code once their body has returned.
// A thread's very last act is to say so, so that a stop — also one inside the library's unload,
// where the thread handle must not be waited for — can wait for that instead of for the thread's
// end.
#pragma once

struct LibThread; // the backend's record of one thread

using LibThreadBody = void (*)(void* arg);

// Runs body(arg) on a new thread; null when no thread could be made (errno is set on POSIX, the
// last error on Windows).
LibThread* thread_start(LibThreadBody body, void* arg);
// True once the body has returned and the thread does nothing more of the library's; waits at most
// `ms` milliseconds.
bool thread_wait_left(LibThread* thread, unsigned ms);
// Gives up the record. A thread that has left is reclaimed; one that still runs goes on alone and
// ends by itself.
void thread_forget(LibThread* thread);
// True on the thread itself.
bool thread_is_current(const LibThread* thread);

#if defined(_WIN32)
// The last resort for a thread still inside after its stop's bound: ends it wherever it is,
// perhaps holding a lock, with the exit code. False when the system refused. The record is still
// given up with thread_forget.
bool thread_terminate(LibThread* thread, unsigned long exit_code);
// The system's id of the thread, for the lines that name it.
unsigned long thread_system_id(const LibThread* thread);
#endif
