/* A pause of some milliseconds for the examples, on Windows and elsewhere. */
#ifndef EXAMPLES_SLEEP_MS_H
#define EXAMPLES_SLEEP_MS_H

#ifdef _WIN32
#include <windows.h>
static void sleep_ms(unsigned ms)
{
    Sleep(ms);
}
#else
#include <time.h>
static void sleep_ms(unsigned ms)
{
    struct timespec t = {(time_t)(ms / 1000u), (long)(ms % 1000u) * 1000000L};
    nanosleep(&t, NULL);
}
#endif

#endif
