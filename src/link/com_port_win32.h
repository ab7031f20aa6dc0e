// The Win32 COM backend's seam for tests: how the port is opened and what it is asked for (the
// time-outs, the device-control block and the modem lines), so that a test can read back every
// request without a serial port.
#pragma once

#include <windows.h>

struct ComWin32Seam {
    HANDLE (*open)(const char* name); // as CreateFileA for the port, overlapped
    BOOL (*set_timeouts)(HANDLE port, const COMMTIMEOUTS* timeouts);
    BOOL (*get_state)(HANDLE port, DCB* dcb);
    BOOL (*set_state)(HANDLE port, const DCB* dcb);
    BOOL (*escape)(HANDLE port, DWORD function); // as EscapeCommFunction
};

// Replaces the seam; null restores the system's own calls. Entries left null keep theirs.
void com_win32_set_seam(const ComWin32Seam* seam);
