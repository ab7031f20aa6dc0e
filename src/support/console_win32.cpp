#include "support/console.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

namespace {
std::atomic<HANDLE> g_out{INVALID_HANDLE_VALUE};
std::atomic<HANDLE> g_err{INVALID_HANDLE_VALUE};
}

void console_os_fetch()
{
    g_out = GetStdHandle(STD_OUTPUT_HANDLE);
    g_err = GetStdHandle(STD_ERROR_HANDLE);
}

void console_os_write(ConsoleStream stream, const char* text, size_t length)
{
    HANDLE handle = stream == ConsoleStream::Out ? g_out.load() : g_err.load();
    if (handle == INVALID_HANDLE_VALUE)
        handle = GetStdHandle(stream == ConsoleStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr)
        return; // no console and no standard handle: the line has nowhere to go
    std::fflush(stream == ConsoleStream::Out ? stdout : stderr);
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode))
        WriteConsoleA(handle, text, static_cast<DWORD>(length), &written, nullptr);
    else // redirected to a file or a pipe
        WriteFile(handle, text, static_cast<DWORD>(length), &written, nullptr);
}
