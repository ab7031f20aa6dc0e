#include "support/fault.h"

#include <atomic>

namespace {
std::atomic<FaultHook> g_hook{nullptr};
}

void fault_report(const char* title, const char* text, uint32_t icon)
{
    FaultHook hook = g_hook.load();
    if (hook)
        hook(title, text, icon);
    else
        fault_show_platform(title, text, icon);
}

FaultHook fault_set_hook(FaultHook hook)
{
    return g_hook.exchange(hook);
}
