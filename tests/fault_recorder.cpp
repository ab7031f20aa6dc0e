#include "test_support.h"

#include "support/fault.h"

#include <mutex>

namespace {
std::mutex g_fault_mutex;
std::vector<FaultRecorder::Fault> g_faults;

void record_fault(const char* title, const char* text, uint32_t icon)
{
    std::lock_guard lock(g_fault_mutex);
    g_faults.push_back({title, text, icon});
}
} // namespace

FaultRecorder::FaultRecorder()
{
    clear();
    fault_set_hook(record_fault);
}

FaultRecorder::~FaultRecorder()
{
    fault_set_hook(nullptr);
}

std::vector<FaultRecorder::Fault> FaultRecorder::faults() const
{
    std::lock_guard lock(g_fault_mutex);
    return g_faults;
}

void FaultRecorder::clear()
{
    std::lock_guard lock(g_fault_mutex);
    g_faults.clear();
}
