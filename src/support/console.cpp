#include "support/console.h"

#include "config/config_table.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

namespace {

std::atomic<ConsoleHook> g_hook{nullptr};
std::atomic<ConsoleLogCallback> g_log_callback{nullptr};
// A thread that says so (the link's silent reconnection attempts) prints nothing.
thread_local bool t_muted = false;

using Target = orma_config::OutputTarget;

// The destination of every line; the file stays open across Exit (the link's stop lines come
// after the log files close) until another Init names another place, or the library unloads.
struct Destination {
    std::mutex lock;
    Target target = Target::Default;
    std::FILE* file = nullptr;
    std::string name;

    ~Destination()
    {
        if (file)
            std::fclose(file);
    }
};

Destination& destination()
{
    static Destination d;
    return d;
}

void to_log_callback(ConsoleLogCallback callback, ConsoleStream stream, const char* text, size_t length)
{
    const int32_t level = stream == ConsoleStream::Err ? 0 : stream == ConsoleStream::Out ? 1 : 2;
    std::string_view rest(text, length);
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (!line.empty() && line.front() == '\r')
            line.remove_prefix(1);
        if (!line.empty())
            callback(level, std::string(line).c_str());
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
}

// `handles`: the line was written for the console handles (link client) rather than the
// runtime's streams; both reach the same place, each keeping its order.
void emit(ConsoleStream stream, const char* text, size_t length, bool handles)
{
    if (t_muted)
        return;
    if (ConsoleLogCallback callback = g_log_callback.load()) {
        to_log_callback(callback, stream, text, length);
        return;
    }
    if (stream == ConsoleStream::Progress)
        stream = ConsoleStream::Out;
    if (ConsoleHook hook = g_hook.load()) {
        hook(stream, text);
        return;
    }
    Destination& d = destination();
    const std::lock_guard hold(d.lock);
    switch (d.target) {
    case Target::Off:
        return;
    case Target::File:
        std::fwrite(text, 1, length, d.file);
        std::fflush(d.file);
        return;
    case Target::Stderr:
        stream = ConsoleStream::Err;
        break;
    case Target::Default:
        break;
    }
    if (handles) {
        console_os_write(stream, text, length);
        return;
    }
    FILE* out = stream == ConsoleStream::Out ? stdout : stderr;
    std::fwrite(text, 1, length, out);
    std::fflush(out);
}

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
    emit(stream, text, std::strlen(text), true);
}

void console_print(ConsoleStream stream, const char* format, ...)
{
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        va_end(again);
        emit(stream, small, static_cast<size_t>(n), false);
        return;
    }
    std::string text(static_cast<size_t>(n) + 1, '\0'); // a hex dump can be long
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    emit(stream, text.c_str(), static_cast<size_t>(n), false);
}

bool console_set_output(const char* value)
{
    const Target target = value ? orma_config::output_target(value) : Target::Default;

    Destination& d = destination();
    std::unique_lock hold(d.lock);
    if (target == Target::File && d.file && d.name == value) {
        d.target = Target::File; // the same file: keep appending
        return true;
    }
    if (d.file) {
        std::fclose(d.file);
        d.file = nullptr;
        d.name.clear();
    }
    d.target = target;
    if (target != Target::File)
        return true;
    d.file = std::fopen(value, "a");
    if (d.file) {
        d.name = value;
        return true;
    }
    const int error = errno;
    d.target = Target::Default;
    hold.unlock();
    console_print(ConsoleStream::Err,
                  "ORMA_DLL: cannot open the console output file \"%s\" (%s): console lines keep their streams\n", value,
                  std::strerror(error));
    return false;
}

ConsoleHook console_set_hook(ConsoleHook hook)
{
    return g_hook.exchange(hook);
}

void console_set_log_callback(ConsoleLogCallback callback)
{
    g_log_callback = callback;
}
