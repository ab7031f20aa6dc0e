// The bound of a file that the library writes (the log files' and the capture's MaxSize).
#pragma once

#include <cstdio>
#include <string>

// Closes the file, renames it "<name>.1" (replacing an older one) and opens a new, empty file of
// the name, which it returns (null when it cannot be created).
inline std::FILE* file_rotate(std::FILE* file, const std::string& name, const char* mode)
{
    std::fclose(file);
    const std::string older = name + ".1";
    std::remove(older.c_str()); // rename does not replace a file on Windows
    std::rename(name.c_str(), older.c_str());
    return std::fopen(name.c_str(), mode);
}
