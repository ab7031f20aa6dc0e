// The project's own INI reader: the same file grammar, look-ups, dump layout and complaints as
// the iniparser library, for targets that have no iniparser. Its line scanner also tells
// ormactl config where each entry stands in the file and how it is written.
#pragma once

#include "logging/ini.h"

#include <cstdio>
#include <functional>
#include <string>

struct IniOwnDict;

// Complaints go to standard error, as iniparser's do by default.
IniOwnDict* ini_own_load(const char* path);
IniOwnDict* ini_own_load(const char* path, IniComplaint complain);
const char* ini_own_get(const IniOwnDict* dict, const char* key);
void ini_own_dump(const IniOwnDict* dict, std::FILE* out);
void ini_own_free(IniOwnDict* dict);

// One line of the file as the reader takes it, continued lines joined.
struct IniLine {
    enum class Kind { Section, Key, Error, TooLong };
    Kind kind;
    int first; // the file's line where it begins
    int last;  // and where it ends
    std::string text; // as read, without its trailing blanks
    std::string section; // the section it is in, as written (of a Section line: the new one)
    std::string key;     // as written
    std::string value;
};
// Hands every section, key and faulty line of the file to `visit`, in order; a line too long
// for the reader is the last. False when the file cannot be opened.
bool ini_own_scan(const char* path, const std::function<void(const IniLine&)>& visit);
