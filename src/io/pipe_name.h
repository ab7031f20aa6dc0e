// Names of the sixteen named pipes through which the owner of the device serves every process:
// the prefix below followed by the pipe number 0 to 15 in decimal.
#pragma once

#include <cstdint>

constexpr char PIPE_NAME_PREFIX[] = "\\\\.\\pipe\\cccNamedPipe";
constexpr int32_t PIPE_NUMBER_COUNT = 16;

// Writes the name of the pipe into the buffer. False for a null buffer, a buffer that cannot hold
// a two-digit name (below 24 bytes, whatever the number) and a number outside 0 to 15.
bool MakePipeName(char* buffer, int32_t buffer_size, int32_t pipe_number);
