// INI backend over the system's iniparser library.
#include "logging/ini.h"
#include "support/console.h"

#include <cstdarg>
#include <cstdio>
#include <iniparser.h>

struct IniDict {};

namespace {
dictionary* lib(const IniDict* dict)
{
    return reinterpret_cast<dictionary*>(const_cast<IniDict*>(dict));
}
// The reader's complaints about the file are console lines like the library's own.
int to_console(const char* format, ...)
{
    char text[1200];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    console_print(ConsoleStream::Err, "%s", text);
    return n;
}
} // namespace

IniDict* ini_load(const char* path)
{
    iniparser_set_error_callback(to_console);
    return reinterpret_cast<IniDict*>(iniparser_load(path));
}

const char* ini_get(const IniDict* dict, const char* key)
{
    return dict ? iniparser_getstring(lib(dict), key, nullptr) : nullptr;
}

void ini_dump(const IniDict* dict, std::FILE* out)
{
    iniparser_dump_ini(lib(dict), out);
}

void ini_free(IniDict* dict)
{
    if (dict)
        iniparser_freedict(lib(dict));
}
