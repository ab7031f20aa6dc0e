#include "support/console.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
std::atomic<ConsoleHook> g_hook{nullptr};
thread_local bool t_muted = false;
} // namespace

void console_mute_thread(bool muted)
{
    t_muted = muted;
}

void console_fetch_handles()
{
    console_os_fetch();
}

void console_write(ConsoleStream stream, const char* text)
{
    if (t_muted)
        return;
    ConsoleHook hook = g_hook.load();
    if (hook) {
        hook(stream, text);
        return;
    }
    console_os_write(stream, text, std::strlen(text));
}

void console_print(ConsoleStream stream, const char* format, ...)
{
    if (t_muted)
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    ConsoleHook hook = g_hook.load();
    if (hook) {
        hook(stream, text);
        return;
    }
    FILE* out = stream == ConsoleStream::Out ? stdout : stderr;
    std::fputs(text, out);
    std::fflush(out);
}

ConsoleHook console_set_hook(ConsoleHook hook)
{
    return g_hook.exchange(hook);
}
