// The INI readers' complaints about the library's configuration file are console lines like the
// library's own, so that the hook and [ORMA_CONSOLE] Output see them too.
#include "logging/ini.h"
#include "support/console.h"

namespace {
void to_console(const char* line)
{
    console_print(ConsoleStream::Err, "%s", line);
}
} // namespace

IniDict* ini_load(const char* path)
{
    return ini_read(path, to_console);
}
