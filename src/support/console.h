// Console lines of the library (link client, transports, device I/O classes).
//
// The link client writes its lines to the process's console handles (fetched at every start);
// the transports print theirs on the runtime's standard streams. Either way a line reaches the
// console where the process has one and the standard handles otherwise, so redirected output
// keeps it. The INI's [ORMA_CONSOLE] Output sends every line elsewhere (console_set_output), and
// tests install a hook that receives every line instead. Texts are never changed on the way.
#pragma once

#include <cstddef>
#include <cstdint>

// Progress: the link's own progress (its start, its connection attempts, the spinner); on the
// console it is standard output.
enum class ConsoleStream { Out, Err, Progress };

using ConsoleHook = void (*)(ConsoleStream stream, const char* text);

// Fetches the console output and error handles (the link client does so at every start).
void console_fetch_handles();
// Writes text to the console output or error handle.
void console_write(ConsoleStream stream, const char* text);
// Formats and prints text on the runtime's standard output or standard error stream.
void console_print(ConsoleStream stream, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Where the lines go from now on, as [ORMA_CONSOLE] Output names it (any case): "DEFAULT" (or
// null, or empty) keeps each line on its stream, "STDERR" sends every line to standard error,
// "OFF" drops them, anything else is a file name that receives them, appended. When the file
// cannot be opened, one line on standard error says so and the lines keep their streams; the
// result is then false.
bool console_set_output(const char* value);

// Replaces both outputs by the hook (null restores them). Returns the previous hook. The hook
// sees Progress as Out.
ConsoleHook console_set_hook(ConsoleHook hook);

// The host's log callback: while one is set, every line goes to it instead of anywhere else, one
// call per line without its line end (a text without one is a call of its own, a carriage return
// at its start is left out, empty lines are not passed), with the level 0 for standard error, 1
// for standard output and 2 for Progress. Null restores the outputs.
using ConsoleLogCallback = void (*)(int32_t level, const char* line);
void console_set_log_callback(ConsoleLogCallback callback);

// While set, the lines of the calling thread go nowhere (the link's repeated attempts to come
// back, which would otherwise print the same lines every 300 ms).
void console_mute_thread(bool muted);

// Backend: the handles of the platform.
void console_os_fetch();
void console_os_write(ConsoleStream stream, const char* text, size_t length);
