// Reads the [ORMA_LINK] section of the INI file into the library's settings.
#pragma once

#include "logging/ini.h"
#include "support/options.h"

// What the section asks for; a key that is absent or whose value cannot be read keeps its
// default (null dict: every default). `problem`, when given, receives the full key name and the
// offending value of each value that was passed over.
using OptionProblem = void (*)(const char* key, const char* value, void* context);
OrmaOptions options_read(const IniDict* dict, OptionProblem problem = nullptr, void* context = nullptr);
