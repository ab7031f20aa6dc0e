// Threads of the device-side classes (Windows only): ThreadRecord, the record of one Win32
// thread, and WorkerThread, whose thread calls a start hook, a step again and again while it is
// meant to run, and an end hook.
//
// A stop asks and wakes; it never kills a thread that may hold a lock. It clears the running flag
// and sets the record's stop event. Every wait a worker makes through StoppableSleep,
// StoppableWait or an AsyncIo completion wakes on that event (the completion then cancels its own
// operation with CancelIoEx). A stop with kill then waits up to THREAD_STOP_BOUND_MS until the
// thread has left the library's code: the worker procedure sets the record's left event as its
// very last act, and the waits never need the thread's handle to end (under the loader lock it
// never would). Only a thread still inside after the bound is terminated, with a console line,
// and counted (ThreadRecord::TerminateCount).
#pragma once

#include "support/thread_leave_win32.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr DWORD THREAD_KILLED_EXIT_CODE = 0x12345678;
constexpr DWORD THREAD_STOP_BOUND_MS = 2000;
// StoppableWait's result when the calling worker was asked to stop.
constexpr DWORD WAIT_STOPPED = 0x100;

using ThreadRoutine = DWORD(WINAPI*)(void*);

class ThreadRecord {
public:
    ThreadRecord(uint32_t stack_size, ThreadRoutine routine, void* parameter, uint32_t creation_flags);
    // Stops with kill.
    ~ThreadRecord();
    ThreadRecord(const ThreadRecord&) = delete;
    ThreadRecord& operator=(const ThreadRecord&) = delete;

    // Forgets the thread handle and id; the thread itself is not touched.
    void Close();
    // Starts a new thread. An earlier thread of the record that has not left yet is stopped as
    // Stop(true) does first: one record never has two threads. False without a start routine,
    // when the thread cannot be created, and on the record's own thread.
    bool Start();
    // 0 without a thread. Without kill: asks the thread to end after its current step (its end
    // hook runs) and returns 1 at once. With kill: asks it to end at once, without its end hook,
    // and returns once it has left (nonzero), or after the bound and a termination with the
    // termination's result. Asked from the thread itself, it never waits.
    DWORD Stop(bool kill);
    bool IsRunning() const { return running.load() != 0; }

    // Asks every thread of every record to stop as Stop(true) does and waits until each has left,
    // at most bound_ms in all. Terminates nothing. Returns how many are still inside. Made for
    // the library's unload (FreeLibrary while the process goes on); safe under the loader lock.
    static size_t StopAll(DWORD bound_ms);
    // How often a thread had to be terminated in this process.
    static uint32_t TerminateCount();

    uint32_t stack_size;
    ThreadRoutine start_routine;
    uint32_t creation_flags;
    HANDLE thread = INVALID_HANDLE_VALUE;
    DWORD thread_id = 0;
    std::atomic<uint32_t> running{0};
    void* parameter;

    // What the stop needs. The record owns the live thread's handle until it has seen the thread
    // leave, so that a later stop, start or destruction still waits for it after Close.
    HANDLE stop_event = nullptr;
    HANDLE left_event = nullptr; // set when the thread has left the library's code
    std::atomic<bool> killed{false};
    LeavingStart leaving;

private:
    void Ask(bool kill);
    DWORD Join();
    bool WaitLeft(DWORD ms) const;
    bool OnOwnThread() const { return live_id == GetCurrentThreadId(); }

    HANDLE live_thread = nullptr;
    DWORD live_id = 0;
    ThreadRecord* prev = nullptr; // every record of the process, for StopAll
    ThreadRecord* next = nullptr;
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
    static DWORD WINAPI Procedure(void* parameter);
};
