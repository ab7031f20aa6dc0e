#include "io/pipe_name.h"

#include <cstdio>

bool MakePipeName(char* buffer, int32_t buffer_size, int32_t pipe_number)
{
    constexpr int32_t prefix_length = sizeof PIPE_NAME_PREFIX - 1;
    if (!buffer || buffer_size < prefix_length + 3)
        return false;
    if (pipe_number < 0 || pipe_number >= PIPE_NUMBER_COUNT)
        return false;
    return std::snprintf(buffer, static_cast<size_t>(buffer_size), "%s%d", PIPE_NAME_PREFIX,
                         static_cast<int>(pipe_number)) > 0;
}
