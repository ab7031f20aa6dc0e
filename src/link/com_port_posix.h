// The POSIX COM backend's seam for tests: how the termios settings and the modem lines reach the
// device, and whether the device is a pseudo-terminal (which has no parity, so a refused parity
// is dropped there).
#pragma once

#include <termios.h>

struct ComTermiosSeam {
    int (*set_attributes)(int fd, const termios* tio); // as tcsetattr(fd, TCSANOW, tio)
    bool (*is_pseudo_terminal)(int fd);
    // As ioctl(fd, request, &lines): request TIOCMBIS raises the modem lines, TIOCMBIC lowers them.
    int (*modem_lines)(int fd, unsigned long request, int lines);
};

// Replaces the seam; null restores the system's own calls.
void com_posix_set_seam(const ComTermiosSeam* seam);
// The system's own test: the device is the terminal side of a pseudo-terminal pair.
bool com_posix_is_pseudo_terminal(int fd);
