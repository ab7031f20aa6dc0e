// Threads of the device-side classes (Windows only): WorkerThread, whose thread calls a start
// hook, a step again and again while it is meant to run, and an end hook; and ThreadRecord, what
// a worker's stop needs. The thread itself is a LibThread (support/thread.h), which says when it
// has left the library's code.
//
// A stop asks and wakes; it never kills a thread that may hold a lock. It clears the running flag
// and sets the record's stop event. Every wait a worker makes through StoppableSleep,
// StoppableWait or an AsyncIo completion wakes on that event (the completion then cancels its own
// operation with CancelIoEx). A stop with kill then waits up to THREAD_STOP_BOUND_MS until the
// thread has left, never for its handle (under the loader lock its end never comes). Only a
// thread still inside after the bound is terminated, with a console line, and counted
// (ThreadRecord::TerminateCount).
#pragma once

#include "support/thread.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr DWORD THREAD_KILLED_EXIT_CODE = 0x12345678; // of a terminated thread
constexpr DWORD THREAD_STOP_BOUND_MS = 2000;
// StoppableWait's result when the calling worker was asked to stop.
constexpr DWORD WAIT_STOPPED = 0x100;

class ThreadRecord {
public:
    // Each thread of the record runs body(arg).
    ThreadRecord(LibThreadBody body, void* arg);
    // Stops with kill.
    ~ThreadRecord();
    ThreadRecord(const ThreadRecord&) = delete;
    ThreadRecord& operator=(const ThreadRecord&) = delete;

    // Starts a new thread. An earlier thread of the record that has not left yet is stopped as
    // Stop(true) does first: one record never has two threads. False without a body, when the
    // thread cannot be made, and on the record's own thread.
    bool Start();
    // 0 without a thread. Without kill: asks the thread to end after its current step (its end
    // hook runs) and returns 1 at once. With kill: asks it to end at once, without its end hook,
    // and returns once it has left (nonzero), or after the bound and a termination with the
    // termination's result. Asked from the thread itself, it never waits.
    DWORD Stop(bool kill);
    bool IsRunning() const { return mRunning.load(); }
    // The last stop was a kill: the end hook is skipped.
    bool Killed() const { return mKilled.load(); }
    HANDLE StopEvent() const { return mStopEvent; }
    // True once the thread last started has left the library's code, or when there is none;
    // waits at most ms.
    bool HasLeft(DWORD ms);

    // Asks every thread of every record to stop as Stop(true) does and waits until each has left,
    // at most bound_ms in all. Terminates nothing. Returns how many are still inside. Made for
    // the library's unload (FreeLibrary while the process goes on); safe under the loader lock.
    static size_t StopAll(DWORD bound_ms);
    // How often a thread had to be terminated in this process.
    static uint32_t TerminateCount();

private:
    void Ask(bool kill);
    DWORD Join();
    bool OnOwnThread() const;

    LibThreadBody mBody;
    void* mArg;
    std::atomic<bool> mRunning{false};
    std::atomic<bool> mKilled{false};
    bool mHasThread = false;      // started, and not stopped since
    HANDLE mStopEvent = nullptr;
    // Kept until the thread has been seen to leave, so that a later stop, start or destruction
    // still waits for a thread that a stop without kill let go on.
    LibThread* mLive = nullptr;
    ThreadRecord* mPrev = nullptr; // every record of the process, for StopAll
    ThreadRecord* mNext = nullptr;
};

// The virtual operations are the three hooks, in this slot order; derived classes append theirs.
// The destructor is therefore not virtual: objects are destroyed as what they are. It stops the
// thread, but only after the derived parts are gone, so a derived class whose hooks use its own
// members stops the thread in its own destructor.
class WorkerThread {
public:
    WorkerThread();
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    virtual void OnThreadStart() {}
    // The result is the step's own; the loop does not look at it.
    virtual uint32_t ThreadStep() { return 0; }
    virtual void OnThreadEnd() {}

    BOOL StartThread() { return mThread.Start(); }
    DWORD StopThread() { return mThread.Stop(true); }
    BOOL IsThreadRunning() const { return mThread.IsRunning(); }
    ThreadRecord& Record() { return mThread; }

    // The stop event of the worker running on the calling thread; null on any other thread.
    static HANDLE CurrentStopEvent();
    // Sleeps; on a worker's thread a stop ends the sleep early. False when it did.
    static bool StoppableSleep(DWORD ms);
    // WaitForMultipleObjects for any one of count (below 64) handles; on a worker's thread a stop
    // ends the wait with WAIT_STOPPED, also when handles are signalled.
    static DWORD StoppableWait(DWORD count, const HANDLE* handles, DWORD ms);

protected:
    ThreadRecord mThread;

private:
    static void Loop(void* worker);
};
