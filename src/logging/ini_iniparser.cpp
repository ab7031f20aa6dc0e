// INI backend over the system's iniparser library.
#include "logging/ini.h"

#include <iniparser.h>

struct IniDict {};

namespace {
dictionary* lib(const IniDict* dict)
{
    return reinterpret_cast<dictionary*>(const_cast<IniDict*>(dict));
}
} // namespace

IniDict* ini_load(const char* path)
{
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
