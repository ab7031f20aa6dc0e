// Worker threads, overlapped completion and the driver pipe channel, on real threads and real
// named pipes (Windows).
#include "io/receive_thread.h"
#include "support/heap.h"
#include "support/sem.h"
#include "console_capture.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr char PIPE[] = "\\\\.\\pipe\\orma_io_threads";
constexpr char SPIN[] = "|/-\\";

// No stop in this program may fall back to TerminateThread.
struct NoTermination : testing::Environment {
    void TearDown() override { EXPECT_EQ(ThreadRecord::TerminateCount(), 0u); }
};
const auto* const g_no_termination = testing::AddGlobalTestEnvironment(new NoTermination);

// Starts the worker held, so that the test owns a handle of its thread before it runs.
HANDLE start_held(WorkerThread& w, const std::function<void()>& start = {})
{
    w.Record().creation_flags = CREATE_SUSPENDED;
    start ? start() : void(w.StartThread());
    HANDLE h = nullptr;
    DuplicateHandle(GetCurrentProcess(), w.Record().thread, GetCurrentProcess(), &h, 0, FALSE, DUPLICATE_SAME_ACCESS);
    ResumeThread(h);
    return h;
}

DWORD exit_code(HANDLE thread)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0)
        GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}

class Worker final : public WorkerThread {
public:
    explicit Worker(std::function<uint32_t()> step = {}, bool stop_at_start = false)
        : step_(std::move(step)), stop_at_start_(stop_at_start) {}
    ~Worker() { StopThread(); }
    void OnThreadStart() override { mThread.running = stop_at_start_ ? 0 : 1; }
    uint32_t ThreadStep() override { return ++steps, step_ ? step_() : 0; }
    void OnThreadEnd() override { ++ends; }
    std::atomic<int> steps{0}, ends{0};

private:
    std::function<uint32_t()> step_;
    bool stop_at_start_;
};

// A channel over the test's pipe; like the real channels it closes the pipe on a failure.
class Channel final : public ReceiveThread {
public:
    explicit Channel(uint16_t size = 16, bool reconnect = true) : ReceiveThread(size, reconnect) {}
    ~Channel() { StopThread(); }
    HANDLE OpenPipe(uint8_t) override
    {
        return CreateFileA(PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    BOOL ReadyToRead() override { return ++reads, TRUE; }
    DWORD CheckIoResult(BOOL ok) override
    {
        const DWORD error = ok ? 0 : GetLastError();
        if (error && error != ERROR_IO_PENDING)
            ClosePipe();
        return error;
    }
    void OnReceive(const uint8_t* data, uint16_t length) override
    {
        std::lock_guard lock(mutex_);
        received_.append(data, data + length);
    }
    uint32_t ThreadStep() override { return ++steps, ReceiveThread::ThreadStep(); }
    void OnThreadEnd() override { ++ends; }
    std::string received()
    {
        std::lock_guard lock(mutex_);
        return received_;
    }
    bool connected() const { return PipeHandle() != INVALID_HANDLE_VALUE; }
    std::atomic<int> reads{0}, steps{0}, ends{0};

private:
    std::mutex mutex_;
    std::string received_;
};

// The test's end of the pipe: byte mode, blocking.
struct Server {
    HANDLE pipe = CreateNamedPipeA(PIPE, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    ~Server() { CloseHandle(pipe); }
    bool write(const std::string& s)
    {
        DWORD n = 0;
        return WriteFile(pipe, s.data(), static_cast<DWORD>(s.size()), &n, nullptr) && n == s.size();
    }
};

size_t spins(const ConsoleCapture& console)
{
    const auto text = console.text(ConsoleStream::Out);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\r'));
}

TEST(Threads, StopWithoutThreadReturnsZero)
{
    ThreadRecord record(0, nullptr, nullptr, 0);
    EXPECT_EQ(record.Stop(false), 0u);
    EXPECT_EQ(record.Stop(true), 0u);
    EXPECT_FALSE(record.Start()); // no start routine
    Worker never_started;
    EXPECT_EQ(never_started.StopThread(), 0u);
}

TEST(Threads, StopWithoutKillLetsTheStepFinishAndTheEndHookRun)
{
    const HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> in_step{false};
    Worker w([&] { return in_step = true, WaitForSingleObject(release, 10000), 7u; });
    const HANDLE thread = start_held(w);
    ASSERT_TRUE(wait_until([&] { return in_step.load(); }));
    const auto t0 = Clock::now();
    EXPECT_EQ(w.Record().Stop(false), 1u);
    EXPECT_LT(Clock::now() - t0, milliseconds(50));
    EXPECT_FALSE(w.IsThreadRunning());
    EXPECT_EQ(w.ends, 0);
    SetEvent(release);
    EXPECT_EQ(exit_code(thread), 7u); // the last step's result
    EXPECT_EQ(w.steps, 1);
    EXPECT_EQ(w.ends, 1);
    CloseHandle(release);
}

TEST(Threads, ClearedAtStartRunsNoStep)
{
    Worker w({}, true);
    EXPECT_EQ(exit_code(start_held(w)), 0u);
    EXPECT_EQ(w.steps, 0);
    EXPECT_EQ(w.ends, 1);
}

// A kill must end the worker within 100 ms, wherever it waits, without its end hook.
void expect_quick_kill(WorkerThread& w, HANDLE thread, const std::function<bool()>& blocked, const std::atomic<int>& ends)
{
    ASSERT_TRUE(wait_until(blocked));
    const auto t0 = Clock::now();
    EXPECT_NE(w.StopThread(), 0u);
    EXPECT_LT(Clock::now() - t0, milliseconds(100));
    EXPECT_EQ(exit_code(thread), THREAD_KILLED_EXIT_CODE);
    EXPECT_EQ(ends, 0);
}

TEST(Threads, KillWakesTheServiceWait)
{
    const HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Worker w([&] { return WorkerThread::StoppableWait(1, &never, 5000); });
    expect_quick_kill(w, start_held(w), [&] { return w.steps > 0; }, w.ends);
    CloseHandle(never);
}

TEST(Threads, KillWakesAnOverlappedReadWithoutAFailureLine)
{
    ConsoleCapture console;
    Server server;
    Channel ch;
    const HANDLE thread = start_held(ch, [&] { ch.Start(0); });
    expect_quick_kill(ch, thread, [&] { return ch.reads > 0; }, ch.ends);
    EXPECT_EQ(console.text(ConsoleStream::Out), "");
}

TEST(Threads, KillWakesTheReconnectSleep)
{
    ConsoleCapture console;
    Channel ch; // nothing to connect to
    const HANDLE thread = start_held(ch, [&] { ch.Start(0); });
    expect_quick_kill(ch, thread, [&] { return spins(console) > 0; }, ch.ends);
    const auto text = console.text(ConsoleStream::Out);
    EXPECT_TRUE(text.size() == 2 && text[0] == '\r' && std::strchr(SPIN, text[1])) << text;
}

TEST(Threads, StopFromTheWorkerItselfDoesNotWait)
{
    milliseconds took{};
    WorkerThread* self = nullptr;
    Worker w([&] {
        const auto t0 = Clock::now();
        self->StopThread();
        took = std::chrono::duration_cast<milliseconds>(Clock::now() - t0);
        return 0u;
    });
    self = &w;
    EXPECT_EQ(exit_code(start_held(w)), THREAD_KILLED_EXIT_CODE);
    EXPECT_LT(took, milliseconds(100));
    EXPECT_EQ(w.steps, 1);
}

TEST(Threads, StopAllEndsEveryWorkerWithoutTheirHandles)
{
    const HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const auto wait = [&] { return WorkerThread::StoppableWait(1, &never, INFINITE); };
    Worker a(wait), b(wait), c(wait);
    HANDLE threads[] = {start_held(a), start_held(b), start_held(c)};
    ASSERT_TRUE(wait_until([&] { return a.steps && b.steps && c.steps; }));
    EXPECT_EQ(ThreadRecord::StopAll(THREAD_STOP_BOUND_MS), 0u);
    for (HANDLE t : threads)
        EXPECT_EQ(exit_code(t), THREAD_KILLED_EXIT_CODE);
    CloseHandle(never);
}

// A kill lands while the worker churns through the C heap, stdio and the tracking heap. Each
// must still work afterwards: a lock left taken would hang here or show as a heap fault.
TEST(Threads, ThousandKillsLeaveHeapAndStdioWorking)
{
    Sem_CreateAll();
    Heap_Init();
    FaultRecorder faults;
    const char* volatile nothing = ""; // stdout's lock without filling the log
    const auto churn = [&] {
        std::free(std::malloc(64));
        std::printf("%s", nothing);
        PRE_ALLOC();
        Heap_Free(Heap_Alloc(32));
    };
    for (int i = 0; i < 1000; ++i) {
        Worker w([&] { return churn(), 0u; });
        ASSERT_TRUE(w.StartThread());
        ASSERT_TRUE(wait_until([&] { return w.steps > i % 7; }));
        ASSERT_NE(w.StopThread(), 0u);
        churn();
    }
    EXPECT_EQ(faults.count(), 0u);
    EXPECT_EQ(Heap_LiveCount(), 0);
    Sem_CloseAll();
}

// A start error other than 997 is final: a write with 23 counts as done, nothing waits.
TEST(AsyncIo, EarlyStartErrors)
{
    struct Case {
        bool write;
        DWORD error;
        BOOL done;
    };
    for (const Case c : {Case{true, ERROR_CRC, TRUE}, Case{false, ERROR_CRC, FALSE}, Case{true, ERROR_ACCESS_DENIED, FALSE}}) {
        AsyncIo io;
        io.Reset();
        io.overlapped.InternalHigh = 77; // what a wait would report
        SetLastError(c.error);
        const BOOL done = c.write ? io.CompleteWrite(INVALID_HANDLE_VALUE, FALSE) : io.CompleteIoControl(INVALID_HANDLE_VALUE, FALSE);
        EXPECT_EQ(done, c.done) << c.write << " " << c.error;
        EXPECT_EQ(io.start_error, c.error);
        EXPECT_EQ(io.bytes_transferred, 0u);
    }
}

TEST(ReceiveThread, ReadsReachOnReceiveInOrderAndWritesReportTheirCount)
{
    Server server;
    Channel ch;
    ASSERT_TRUE(ch.Start(0));
    std::string sent;
    for (int i = 0; i < 40; ++i) {
        sent += std::string(static_cast<size_t>(1 + i % 23), static_cast<char>('a' + i % 26));
        ASSERT_TRUE(server.write(sent.substr(sent.size() - static_cast<size_t>(1 + i % 23))));
    }
    ASSERT_TRUE(wait_until([&] { return ch.received().size() >= sent.size(); }));
    EXPECT_EQ(ch.received(), sent);
    DWORD written = 0; // the write completes at once and still goes through the wait
    EXPECT_TRUE(ch.PipeWrite("ping", 4, &written));
    EXPECT_EQ(written, 4u);
}

// A broken pipe prints the failure line once, then the spinner turns at the reconnect interval
// (300 ms when it is 0) until the pipe is back.
TEST(ReceiveThread, BrokenPipeReconnectsWithTheSpinner)
{
    for (const auto& [interval, period] : {std::pair{0, 300}, std::pair{120, 120}}) {
        ConsoleCapture console;
        auto server = std::make_unique<Server>();
        Channel ch;
        ASSERT_TRUE(ch.Start(interval));
        ASSERT_TRUE(wait_until([&] { return ch.reads > 0; }));
        server.reset();
        ASSERT_TRUE(wait_until([&] { return spins(console) >= 1; }));
        const auto t0 = Clock::now();
        ASSERT_TRUE(wait_until([&] { return spins(console) >= 4; }));
        const auto took = Clock::now() - t0;
        EXPECT_GE(took, milliseconds(3 * period - 30));
        EXPECT_LT(took, milliseconds(6 * period));
        server = std::make_unique<Server>();
        ASSERT_TRUE(wait_until([&] { return ch.connected(); }));
        ASSERT_TRUE(server->write("back"));
        ASSERT_TRUE(wait_until([&] { return ch.received() == "back"; }));
        ch.StopThread();
        const auto text = console.text(ConsoleStream::Out);
        std::string expected = "ReadFile FAILED! LastError: 0x6d / 109.\n";
        const auto first = text.find('\r');
        const size_t start = first == std::string::npos ? 0 : std::strchr(SPIN, text[first + 1]) - SPIN;
        for (size_t i = 0; i < spins(console); ++i)
            expected += std::string("\r") + SPIN[(start + i) % 4];
        EXPECT_EQ(text, expected);
    }
}

TEST(ReceiveThread, WithoutAutoReconnectTheThreadEndsAfterOneStep)
{
    Channel ch(16, false);
    EXPECT_EQ(exit_code(start_held(ch, [&] { EXPECT_FALSE(ch.Start(0)); })), 0u);
    EXPECT_EQ(ch.steps, 1);
    EXPECT_EQ(ch.ends, 1);
    EXPECT_FALSE(ch.IsThreadRunning());
}

TEST(ReceiveThread, RefusedPipeNumberAndNoPipeChangeNothing)
{
    Channel idle;
    DWORD count = 0xABCD;
    EXPECT_FALSE(idle.PipeWrite("x", 1, &count));
    EXPECT_FALSE(idle.PipeIoControl(0x220028, "x", 1, nullptr, 0, &count));
    EXPECT_EQ(count, 0xABCDu);
    Server server;
    Channel ch;
    ASSERT_TRUE(ch.Start(0));
    const HANDLE pipe = ch.PipeHandle();
    const DWORD thread = ch.Record().thread_id;
    EXPECT_FALSE(ch.SelectPipe(1)); // the pipe count is 1
    EXPECT_EQ(ch.PipeHandle(), pipe);
    EXPECT_EQ(ch.Record().thread_id, thread);
    EXPECT_TRUE(ch.IsThreadRunning());
}

} // namespace
