#include "support/fault.h"

#include <windows.h>

void fault_show_platform(const char* title, const char* text, uint32_t icon)
{
    MessageBoxA(nullptr, text, title, MB_OK | icon);
}
