// The project's own INI reader: the same file grammar, look-ups, dump layout and console
// messages as the iniparser library, for targets that have no iniparser.
#pragma once

#include <cstdio>

struct IniOwnDict;

IniOwnDict* ini_own_load(const char* path);
const char* ini_own_get(const IniOwnDict* dict, const char* key);
void ini_own_dump(const IniOwnDict* dict, std::FILE* out);
void ini_own_free(IniOwnDict* dict);
