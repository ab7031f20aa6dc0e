#include "support/console.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

void console_os_fetch()
{
    // The standard descriptors are the console (or wherever they were redirected).
}

void console_os_write(ConsoleStream stream, const char* text, size_t length)
{
    // Keep the order with lines printed through the runtime's streams.
    std::fflush(stream == ConsoleStream::Out ? stdout : stderr);
    const int fd = stream == ConsoleStream::Out ? STDOUT_FILENO : STDERR_FILENO;
    while (length > 0) {
        const ssize_t n = ::write(fd, text, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        length -= static_cast<size_t>(n);
    }
}
