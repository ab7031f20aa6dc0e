#include "support/options.h"

#include <mutex>

namespace {
std::mutex g_lock;
OrmaOptions g_options;
} // namespace

OrmaOptions options_current()
{
    const std::lock_guard hold(g_lock);
    return g_options;
}

void options_set(const OrmaOptions& options)
{
    const std::lock_guard hold(g_lock);
    g_options = options;
}
