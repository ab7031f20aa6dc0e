#include "io/worker_thread.h"

#include "support/console.h"

#include <algorithm>
#include <utility>

namespace {

// The record of the worker that runs on each thread; null on threads that are no workers. Set by
// the thread itself before its first hook, so that it knows its own stops from the start.
struct RecordSlot {
    DWORD index = TlsAlloc();
    ~RecordSlot()
    {
        if (index != TLS_OUT_OF_INDEXES)
            TlsFree(index);
    }
    ThreadRecord* get() const
    {
        return index == TLS_OUT_OF_INDEXES ? nullptr : static_cast<ThreadRecord*>(TlsGetValue(index));
    }
} g_record_slot;

std::atomic<uint32_t> g_terminations{0};

SRWLOCK g_records_lock = SRWLOCK_INIT;
ThreadRecord* g_records = nullptr;

} // namespace

ThreadRecord::ThreadRecord(LibThreadBody body, void* arg) : mBody(body), mArg(arg)
{
    AcquireSRWLockExclusive(&g_records_lock);
    mNext = g_records;
    if (mNext)
        mNext->mPrev = this;
    g_records = this;
    ReleaseSRWLockExclusive(&g_records_lock);
}

ThreadRecord::~ThreadRecord()
{
    Stop(true);
    AcquireSRWLockExclusive(&g_records_lock);
    (mPrev ? mPrev->mNext : g_records) = mNext;
    if (mNext)
        mNext->mPrev = mPrev;
    ReleaseSRWLockExclusive(&g_records_lock);
    if (mLive) // destroyed from its own thread, which goes on alone
        thread_forget(mLive);
    if (mStopEvent)
        CloseHandle(mStopEvent);
}

bool ThreadRecord::OnOwnThread() const
{
    return g_record_slot.get() == this;
}

bool ThreadRecord::Start()
{
    if (OnOwnThread())
        return false; // a thread cannot wait until it has left
    if (mLive) {
        if (IsRunning())
            Ask(true);
        Join();
    }
    mHasThread = false;
    if (!mBody)
        return false;
    if (!mStopEvent)
        mStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!mStopEvent)
        return false;
    ResetEvent(mStopEvent);
    mKilled = false;
    mRunning = true;
    mHasThread = true; // before the thread exists, which may stop itself at once
    mLive = thread_start(mBody, mArg);
    if (!mLive) {
        mRunning = false;
        mHasThread = false;
    }
    return mLive != nullptr;
}

DWORD ThreadRecord::Stop(bool kill)
{
    DWORD result = std::exchange(mHasThread, false) ? 1 : 0;
    Ask(kill);
    if (kill && !OnOwnThread() && mLive) {
        const DWORD joined = Join();
        if (result)
            result = joined;
    }
    return result;
}

void ThreadRecord::Ask(bool kill)
{
    if (kill)
        mKilled = true;
    mRunning = false;
    if (mStopEvent)
        SetEvent(mStopEvent);
}

bool ThreadRecord::HasLeft(DWORD ms)
{
    return !mLive || thread_wait_left(mLive, ms);
}

// Waits until the live thread has left and gives it up; after the bound it is terminated, the
// last resort.
DWORD ThreadRecord::Join()
{
    LibThread* const live = std::exchange(mLive, nullptr);
    DWORD result = 1;
    if (!thread_wait_left(live, THREAD_STOP_BOUND_MS)) {
        console_print(ConsoleStream::Out, "ThreadRecord: thread %lu did not stop within %lu ms: terminated\n",
                      thread_system_id(live), THREAD_STOP_BOUND_MS);
        ++g_terminations;
        result = thread_terminate(live, THREAD_KILLED_EXIT_CODE);
    }
    thread_forget(live);
    return result;
}

size_t ThreadRecord::StopAll(DWORD bound_ms)
{
    AcquireSRWLockExclusive(&g_records_lock);
    for (ThreadRecord* r = g_records; r; r = r->mNext) {
        if (r->mLive && !r->OnOwnThread())
            r->Ask(true);
    }
    const ULONGLONG end = GetTickCount64() + bound_ms;
    size_t inside = 0;
    for (ThreadRecord* r = g_records; r; r = r->mNext) {
        if (!r->mLive || r->OnOwnThread())
            continue;
        const ULONGLONG now = GetTickCount64();
        if (!thread_wait_left(r->mLive, now < end ? static_cast<unsigned>(end - now) : 0))
            ++inside;
    }
    ReleaseSRWLockExclusive(&g_records_lock);
    return inside;
}

uint32_t ThreadRecord::TerminateCount()
{
    return g_terminations;
}

WorkerThread::WorkerThread() : mThread(&WorkerThread::Loop, this) {}

WorkerThread::~WorkerThread()
{
    StopThread();
}

void WorkerThread::Loop(void* worker)
{
    auto* self = static_cast<WorkerThread*>(worker);
    ThreadRecord& record = self->mThread;
    if (g_record_slot.index != TLS_OUT_OF_INDEXES)
        TlsSetValue(g_record_slot.index, &record);
    self->OnThreadStart();
    while (record.IsRunning())
        self->ThreadStep();
    if (!record.Killed())
        self->OnThreadEnd();
    // The thread says that it has left once this returns: from there on the object may be gone.
}

HANDLE WorkerThread::CurrentStopEvent()
{
    const ThreadRecord* record = g_record_slot.get();
    return record ? record->StopEvent() : nullptr;
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
