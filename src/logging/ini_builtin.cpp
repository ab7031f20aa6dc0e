// INI backend for targets without iniparser: the project's own reader.
#include "logging/ini.h"
#include "logging/ini_own.h"

struct IniDict {};

namespace {
IniOwnDict* own(const IniDict* dict)
{
    return reinterpret_cast<IniOwnDict*>(const_cast<IniDict*>(dict));
}
} // namespace

IniDict* ini_load(const char* path)
{
    return reinterpret_cast<IniDict*>(ini_own_load(path));
}

const char* ini_get(const IniDict* dict, const char* key)
{
    return ini_own_get(own(dict), key);
}

void ini_dump(const IniDict* dict, std::FILE* out)
{
    ini_own_dump(own(dict), out);
}

void ini_free(IniDict* dict)
{
    ini_own_free(own(dict));
}
