// The INI calls that the library and ormactl need. The build links exactly one backend: the
// system's iniparser when the target has one (ini_iniparser.cpp), otherwise the project's own
// reader (ini_builtin.cpp over ini_own.cpp). See ini.cmake.
#pragma once

#include <cstdio>

struct IniDict; // opaque dictionary of "section:key" entries, section and key in lower case

// Where a reader's complaints about a file go ("iniparser: syntax error in ..."), one line each
// with its newline.
using IniComplaint = void (*)(const char* line);
void ini_complain_to_stderr(const char* line);

// Loads the file; null when it cannot be opened or holds a syntax error. Each problem goes to
// `complain` (null: nowhere).
IniDict* ini_read(const char* path, IniComplaint complain);
// ini_read whose complaints are the library's console lines (ini_console.cpp, in the library only).
IniDict* ini_load(const char* path);
// The value of "section:key" (any case), or null when the entry is absent or is a section.
const char* ini_get(const IniDict* dict, const char* key);
// Writes the whole dictionary in INI form.
void ini_dump(const IniDict* dict, std::FILE* out);
// Accepts null.
void ini_free(IniDict* dict);
