#include "logging/log_state.h"

#include <ctime>

bool log_os_local_time(int64_t seconds, std::tm* out)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    return localtime_s(out, &t) == 0;
}
