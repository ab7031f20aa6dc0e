// INI backend over the system's iniparser library.
#include "logging/ini.h"

#include <cstdarg>
#include <cstdio>
#include <iniparser.h>

struct IniDict {};

namespace {
dictionary* lib(const IniDict* dict)
{
    return reinterpret_cast<dictionary*>(const_cast<IniDict*>(dict));
}
// iniparser takes one callback for the whole process; it hands each complaint to the caller of
// the load under way.
thread_local IniComplaint t_complain = nullptr;

int forward(const char* format, ...)
{
    char text[1200];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (t_complain)
        t_complain(text);
    return n;
}
} // namespace

IniDict* ini_read(const char* path, IniComplaint complain)
{
    t_complain = complain;
    iniparser_set_error_callback(forward);
    IniDict* dict = reinterpret_cast<IniDict*>(iniparser_load(path));
    t_complain = nullptr;
    return dict;
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
