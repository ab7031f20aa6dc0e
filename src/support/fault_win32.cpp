// Fault boxes on Windows. A box is modal and waits for a click, so it is shown on a thread of
// its own: the thread that reports a fault (a link's receive thread, say) never waits for one. A
// box equal to one still waiting to be shown is not queued again.
#include "support/fault.h"

#include "support/thread.h"

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
LibThread* g_thread = nullptr;
volatile DWORD g_thread_id = 0;       // for closing a box on show
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

void box_thread(void*)
{
    g_thread_id = GetCurrentThreadId();
    while (!g_stopping) {
        Box box;
        if (take(&box))
            MessageBoxA(nullptr, box.text.c_str(), box.title.c_str(), MB_OK | box.icon);
        else
            WaitForSingleObject(g_wake, INFINITE);
    }
}

// Starts the thread on the first fault; false when it cannot run.
bool ensure_thread()
{
    if (g_thread)
        return true;
    if (!g_waiting)
        g_waiting = new (std::nothrow) std::deque<Box>;
    if (!g_wake)
        g_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (g_waiting && g_wake)
        g_thread = thread_start(box_thread, nullptr);
    return g_thread != nullptr;
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
    LibThread* thread = g_stopping ? nullptr : g_thread;
    g_stopping = 1;
    ReleaseSRWLockExclusive(&g_lock);
    if (!thread)
        return;
    SetEvent(g_wake);
    for (int i = 0; i < 20 && !thread_wait_left(thread, 100); ++i)
        EnumThreadWindows(g_thread_id, close_window, 0); // a box on show is closed
    thread_forget(thread);
}
