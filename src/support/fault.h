// Fault reports of the runtime support: message boxes on Windows (shown on a thread of their
// own, so that no library thread waits for a click), one line on standard error elsewhere.
// Tests install a hook that records what would be shown.
#pragma once

#include <cstdint>

// Icon values of the boxes, as the Win32 message box takes them.
constexpr uint32_t FAULT_ICON_STOP = 0x10;        // MB_ICONHAND
constexpr uint32_t FAULT_ICON_EXCLAMATION = 0x30; // MB_ICONEXCLAMATION

using FaultHook = void (*)(const char* title, const char* text, uint32_t icon);

// Shows one fault: through the installed hook, or the platform's own report.
void fault_report(const char* title, const char* text, uint32_t icon);

// Replaces the platform report; null restores it. Returns the previous hook.
FaultHook fault_set_hook(FaultHook hook);

// Ends whatever the platform report keeps running (Windows: the thread that shows the boxes,
// closing a box on show); for the library's unload. Reports made afterwards are not shown.
void fault_shutdown();

// The platform report itself (backend). It never waits for the user.
void fault_show_platform(const char* title, const char* text, uint32_t icon);
