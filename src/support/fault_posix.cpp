#include "support/fault.h"

#include <cstdio>

void fault_show_platform(const char* title, const char* text, uint32_t /*icon*/)
{
    std::fprintf(stderr, "ORMA_DLL %s: %s\n", title, text);
}

void fault_shutdown() {}
