#include "io/worker_thread.h"

#include "support/console.h"

#include <algorithm>

namespace {

// The stop event of the worker that runs on each thread; null on threads that are no workers.
struct StopEventSlot {
    DWORD index = TlsAlloc();
    ~StopEventSlot()
    {
        if (index != TLS_OUT_OF_INDEXES)
            TlsFree(index);
    }
} g_stop_slot;

std::atomic<uint32_t> g_terminations{0};

SRWLOCK g_records_lock = SRWLOCK_INIT;
ThreadRecord* g_records = nullptr;

} // namespace

ThreadRecord::ThreadRecord(uint32_t stack, ThreadRoutine routine, void* param, uint32_t flags)
    : stack_size(stack), start_routine(routine), creation_flags(flags), parameter(param)
{
    AcquireSRWLockExclusive(&g_records_lock);
    next = g_records;
    if (next)
        next->prev = this;
    g_records = this;
    ReleaseSRWLockExclusive(&g_records_lock);
}

ThreadRecord::~ThreadRecord()
{
    Stop(true);
    AcquireSRWLockExclusive(&g_records_lock);
    (prev ? prev->next : g_records) = next;
    if (next)
        next->prev = prev;
    ReleaseSRWLockExclusive(&g_records_lock);
    for (HANDLE h : {stop_event, left_event, live_thread}) {
        if (h)
            CloseHandle(h);
    }
}

void ThreadRecord::Close()
{
    // The handle itself stays with live_thread until the thread has been seen to leave.
    thread = INVALID_HANDLE_VALUE;
    thread_id = 0;
}

bool ThreadRecord::Start()
{
    if (live_thread) {
        if (OnOwnThread())
            return false; // a thread cannot wait until it has left
        if (IsRunning())
            Ask(true);
        Join();
    }
    Close();
    if (!start_routine)
        return false;
    if (!stop_event)
        stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!left_event)
        left_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!stop_event || !left_event)
        return false;
    ResetEvent(stop_event);
    ResetEvent(left_event);
    killed = false;
    running = 1;
    // Suspended until the record knows the thread, so that a stop the thread asks for at once
    // is seen as its own.
    DWORD id = 0;
    leaving.body = start_routine;
    leaving.arg = parameter;
    leaving.left = left_event;
    const HANDLE handle = leaving_thread_create(&leaving, stack_size, creation_flags | CREATE_SUSPENDED, &id);
    if (!handle) {
        running = 0;
        return false;
    }
    live_thread = thread = handle;
    live_id = thread_id = id;
    if (!(creation_flags & CREATE_SUSPENDED))
        ResumeThread(handle);
    return true;
}

DWORD ThreadRecord::Stop(bool kill)
{
    const bool had_thread = thread != INVALID_HANDLE_VALUE;
    DWORD result = had_thread ? 1 : 0;
    if (live_thread) {
        Ask(kill);
        if (kill && !OnOwnThread()) {
            const DWORD joined = Join();
            if (had_thread)
                result = joined;
        }
    }
    Close();
    return result;
}

void ThreadRecord::Ask(bool kill)
{
    if (kill)
        killed = true;
    running = 0;
    SetEvent(stop_event);
}

// Waits until the live thread has left; after the bound it is terminated, the last resort.
DWORD ThreadRecord::Join()
{
    if (!live_thread)
        return 1;
    DWORD result = 1;
    if (!WaitLeft(THREAD_STOP_BOUND_MS)) {
        console_print(ConsoleStream::Out, "ThreadRecord: thread %lu did not stop within %lu ms: terminated\n", live_id,
                      THREAD_STOP_BOUND_MS);
        ++g_terminations;
        result = TerminateThread(live_thread, THREAD_KILLED_EXIT_CODE);
    }
    CloseHandle(live_thread);
    live_thread = nullptr;
    live_id = 0;
    return result;
}

// The left event, set as the thread's last act, tells it while the loader lock is held (a thread
// cannot finish exiting then). The thread's handle tells it at process exit, when the system has
// ended the thread before it could set the event.
bool ThreadRecord::WaitLeft(DWORD ms) const
{
    const HANDLE either[2] = {left_event, live_thread};
    return WaitForMultipleObjects(2, either, FALSE, ms) < WAIT_OBJECT_0 + 2;
}

size_t ThreadRecord::StopAll(DWORD bound_ms)
{
    AcquireSRWLockExclusive(&g_records_lock);
    for (ThreadRecord* r = g_records; r; r = r->next) {
        if (r->live_thread && !r->OnOwnThread())
            r->Ask(true);
    }
    const ULONGLONG end = GetTickCount64() + bound_ms;
    size_t inside = 0;
    for (ThreadRecord* r = g_records; r; r = r->next) {
        if (!r->live_thread || r->OnOwnThread())
            continue;
        const ULONGLONG now = GetTickCount64();
        if (!r->WaitLeft(now < end ? static_cast<DWORD>(end - now) : 0))
            ++inside;
    }
    ReleaseSRWLockExclusive(&g_records_lock);
    return inside;
}

uint32_t ThreadRecord::TerminateCount()
{
    return g_terminations;
}

WorkerThread::WorkerThread() : mThread(0, &WorkerThread::Procedure, this, 0) {}

WorkerThread::~WorkerThread()
{
    StopThread();
}

DWORD WINAPI WorkerThread::Procedure(void* parameter)
{
    if (!parameter)
        return 0;
    auto* self = static_cast<WorkerThread*>(parameter);
    ThreadRecord& record = self->mThread;
    if (g_stop_slot.index != TLS_OUT_OF_INDEXES)
        TlsSetValue(g_stop_slot.index, record.stop_event);
    self->OnThreadStart();
    uint32_t result = 0;
    while (record.IsRunning())
        result = self->ThreadStep();
    const bool killed = record.killed;
    if (!killed)
        self->OnThreadEnd();
    // The left event is set after the return, outside the library's code: from there on the
    // object may be gone.
    return killed ? THREAD_KILLED_EXIT_CODE : result;
}

HANDLE WorkerThread::CurrentStopEvent()
{
    if (g_stop_slot.index == TLS_OUT_OF_INDEXES)
        return nullptr;
    return static_cast<HANDLE>(TlsGetValue(g_stop_slot.index));
}

bool WorkerThread::StoppableSleep(DWORD ms)
{
    const HANDLE stop = CurrentStopEvent();
    if (!stop) {
        Sleep(ms);
        return true;
    }
    return WaitForSingleObject(stop, ms) == WAIT_TIMEOUT;
}

DWORD WorkerThread::StoppableWait(DWORD count, const HANDLE* handles, DWORD ms)
{
    const HANDLE stop = CurrentStopEvent();
    if (!stop || count >= MAXIMUM_WAIT_OBJECTS)
        return WaitForMultipleObjects(count, handles, FALSE, ms);
    HANDLE all[MAXIMUM_WAIT_OBJECTS];
    all[0] = stop; // first, so that a stop wins over signalled handles
    std::copy(handles, handles + count, all + 1);
    const DWORD r = WaitForMultipleObjects(count + 1, all, FALSE, ms);
    if (r == WAIT_OBJECT_0)
        return WAIT_STOPPED;
    if (r - WAIT_OBJECT_0 - 1 < count || r - WAIT_ABANDONED_0 - 1 < count)
        return r - 1;
    return r;
}
