// The library's own threads (the link's receive thread, the fault box thread): started here, and
// known to have left the library's code once their body has returned. A thread's very last act is
// to say so, so that a stop — also one inside the library's unload, where the thread handle must
// not be waited for — can wait for that instead of for the thread's end.
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
