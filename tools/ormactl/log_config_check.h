// ormactl config: what the library will make of its log configuration.
#pragma once

#include <cstdio>

// Reads ORMA_DLL_Log.ini from the current folder, as ORMA_DLL_Init does, and reports to `out` its
// absolute path, what each channel will do, and warnings about unknown sections, keys and values
// (which the library passes over in silence). 0 when there is nothing to warn about, else 1.
int check_log_config(std::FILE* out);
// The same for the file of that name (the INI fuzz target runs it over any content).
int check_log_config_file(const char* name, std::FILE* out);
