#include "logging/log_state.h"

bool log_os_still_there(std::FILE*, const char*)
{
    // The runtime opens files without FILE_SHARE_DELETE: an open log file cannot be removed, and
    // a full disk shows as a failed write.
    return true;
}
