#include "logging/log_state.h"

#include <algorithm>

size_t log_os_bytes_on_disk(const std::string& text)
{
    // Text mode writes each line end as CR LF.
    return text.size() + static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

bool log_os_still_there(std::FILE*, const char*)
{
    // The runtime opens files without FILE_SHARE_DELETE: an open log file cannot be removed, and
    // a full disk shows as a failed write.
    return true;
}
