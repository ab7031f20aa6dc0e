// Fault boxes on Windows. A box is modal and waits for a click, so it is shown on a thread of
// its own: the thread that reports a fault (a link's receive thread, say) never waits for one. A
// box equal to one still waiting to be shown is not queued again.
#include "support/fault.h"

#include <windows.h>

#include <deque>
#include <new>
#include <string>

namespace {

struct Box {
    std::string title;
    std::string text;
    uint32_t icon;
};

constexpr size_t MAX_WAITING = 16;

SRWLOCK g_lock = SRWLOCK_INIT;
std::deque<Box>* g_waiting = nullptr; // created with the thread, never freed (unload safety)
HANDLE g_wake = nullptr;              // auto-reset: boxes are waiting
HANDLE g_left = nullptr;              // set by the thread as its last act
DWORD g_thread_id = 0;
volatile LONG g_stopping = 0;

bool take(Box* box)
{
    AcquireSRWLockExclusive(&g_lock);
    const bool any = !g_waiting->empty();
    if (any) {
        *box = g_waiting->front();
        g_waiting->pop_front();
    }
    ReleaseSRWLockExclusive(&g_lock);
    return any;
}

DWORD WINAPI box_thread(void*)
{
    while (!g_stopping) {
        Box box;
        if (take(&box))
            MessageBoxA(nullptr, box.text.c_str(), box.title.c_str(), MB_OK | box.icon);
        else
            WaitForSingleObject(g_wake, INFINITE);
    }
    SetEvent(g_left);
    return 0;
}

// Starts the thread on the first fault; false when it cannot run.
bool ensure_thread()
{
    if (g_thread_id)
        return true;
    g_waiting = new (std::nothrow) std::deque<Box>;
    g_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_left = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!g_waiting || !g_wake || !g_left)
        return false;
    HANDLE thread = CreateThread(nullptr, 0, box_thread, nullptr, 0, &g_thread_id);
    if (!thread)
        return false;
    CloseHandle(thread);
    return true;
}

BOOL CALLBACK close_window(HWND window, LPARAM)
{
    PostMessageA(window, WM_CLOSE, 0, 0);
    return TRUE;
}

} // namespace

void fault_show_platform(const char* title, const char* text, uint32_t icon)
{
    AcquireSRWLockExclusive(&g_lock);
    bool queued = false;
    if (!g_stopping && ensure_thread()) {
        bool again = false;
        for (const Box& b : *g_waiting)
            again = again || (b.title == title && b.text == text);
        try {
            if (!again && g_waiting->size() < MAX_WAITING)
                g_waiting->push_back(Box{title, text, icon});
            queued = true;
        } catch (...) { // no memory for the box: it is not shown
        }
    }
    ReleaseSRWLockExclusive(&g_lock);
    if (queued)
        SetEvent(g_wake);
}

void fault_shutdown()
{
    AcquireSRWLockExclusive(&g_lock);
    const bool running = g_thread_id != 0 && !g_stopping;
    g_stopping = 1;
    ReleaseSRWLockExclusive(&g_lock);
    if (!running)
        return;
    SetEvent(g_wake);
    for (int i = 0; i < 20 && WaitForSingleObject(g_left, 100) == WAIT_TIMEOUT; ++i)
        EnumThreadWindows(g_thread_id, close_window, 0); // a box on show is closed
}
