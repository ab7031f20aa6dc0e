// INI backend for targets without iniparser: the project's own reader.
#include "logging/ini.h"
#include "logging/ini_own.h"

// The dictionary handed out is the reader's own.
struct IniDict {};

IniDict* ini_read(const char* path, IniComplaint complain)
{
    return reinterpret_cast<IniDict*>(ini_own_load(path, complain));
}

const char* ini_get(const IniDict* dict, const char* key)
{
    return ini_own_get(reinterpret_cast<const IniOwnDict*>(dict), key);
}

void ini_dump(const IniDict* dict, std::FILE* out)
{
    ini_own_dump(reinterpret_cast<const IniOwnDict*>(dict), out);
}

void ini_free(IniDict* dict)
{
    ini_own_free(reinterpret_cast<IniOwnDict*>(dict));
}
