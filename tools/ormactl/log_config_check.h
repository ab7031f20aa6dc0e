// ormactl config: what the library will make of its log configuration.
#pragma once

#include "config/config_table.h"
#include "support/options.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// What the library will set up from a configuration file, as the check reads it.
struct LogConfigView {
    struct Channel {
        orma_config::Mode mode = orma_config::Mode::Off; // also for a channel that cannot be set up or is never reached
        std::string file;                 // the absolute name of its log file, while it is on
        std::vector<std::string> filter;  // in the filter modes, the expressions it uses ("F0 x 02")
        uint64_t max_bytes = 0;           // 0: no bound
        bool banner = false;              // the restart banner at the top of its file
        bool by_id = false;               // the sub-channel tables
        bool by_cu = false;
    };
    bool readable = false;         // the library reads the file
    std::vector<Channel> channels; // in the table's order of the channels' sections
    OrmaOptions link;
};

// Reads ORMA_DLL_Log.ini from the current folder, as ORMA_DLL_Init does, and reports to `out` its
// absolute path, what each channel will do, and warnings about unknown sections, keys and values
// (which the library passes over in silence). 0 when there is nothing to warn about, else 1.
int check_log_config(std::FILE* out);
// The same for the file of that name (the INI fuzz target runs it over any content).
int check_log_config_file(const char* name, std::FILE* out);
int check_log_config_file(const char* name, std::FILE* out, LogConfigView& view);
