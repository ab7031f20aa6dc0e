// The device I/O primitives under Wine: worker threads, overlapped completion, the driver pipe
// channel and the named-pipe server, on real threads, real named pipes and client processes
// (io_pipe_client).
#include "io/named_pipe.h"
#include "io/pipe_name.h"
#include "io/receive_thread.h"
#include "io/trace.h"
#include "support/thread_leave_win32.h"
#include "console_capture.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <process.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Step = std::function<uint32_t()>;
constexpr char PIPE[] = "\\\\.\\pipe\\orma_io_test";
constexpr char SPIN[] = "|/-\\";

struct NoTermination : testing::Environment { // no stop in the whole program falls back to it
    void TearDown() override { EXPECT_EQ(ThreadRecord::TerminateCount(), 0u); }
};
const auto* const g_no_termination = testing::AddGlobalTestEnvironment(new NoTermination);

// A channel over the test's pipe that closes the pipe on a failure, as the real channels do.
// Given a step of its own, it is a plain worker.
class Probe final : public ReceiveThread {
public:
    explicit Probe(Step step = {}, bool reconnect = true) : ReceiveThread(16, reconnect), step_(step) {}
    ~Probe() { StopThread(); }
    void OnThreadStart() override
    {
        if (stop_at_start)
            mThread.Stop(false);
    }
    uint32_t ThreadStep() override { return ++steps, step_ ? step_() : ReceiveThread::ThreadStep(); }
    void OnThreadEnd() override { ++ends; }
    HANDLE OpenPipe(uint8_t) override { return CreateFileA(PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr); }
    DWORD CheckIoResult(BOOL ok) override
    {
        const DWORD error = ok ? 0 : GetLastError();
        if (error && error != ERROR_IO_PENDING)
            ClosePipe();
        return error;
    }
    void OnReceive(const uint8_t* data, uint16_t length) override { std::lock_guard lock(mutex); received.append(data, data + length); }
    bool got(const std::string& text) { std::lock_guard lock(mutex); return received == text; }
    // Starts the thread, does what the test does meanwhile and tells whether the thread has then
    // left within 5 s.
    bool run(const std::function<void()>& meanwhile = [] {})
    {
        Start(0);
        meanwhile();
        return mThread.HasLeft(5000);
    }
    bool stop_at_start = false;
    std::atomic<int> steps{0}, ends{0};
    std::mutex mutex;
    std::string received;

private:
    Step step_;
};

DWORD WINAPI echo_value(void* value)
{
    return *static_cast<DWORD*>(value);
}

// A thread's last acts, the left event and the end, run outside the library's code: its start
// record may be scribbled over once the event is set, and the exit code is still the body's.
TEST(Threads, ALeavingThreadReadsItsRecordOnlyBeforeItSaysItHasLeft)
{
    for (DWORD value = 1000; value < 1050; ++value) {
        auto start = std::make_unique<LeavingStart>();
        start->body = echo_value;
        start->arg = &value;
        start->left = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD id = 0;
        const HANDLE thread = leaving_thread_create(start.get(), 0, 0, &id);
        ASSERT_NE(thread, nullptr);
        const HANDLE left = start->left;
        EXPECT_EQ(WaitForSingleObject(left, 5000), WAIT_OBJECT_0);
        std::memset(static_cast<void*>(start.get()), 0xCC, sizeof *start); // gone, as a record may be
        start.reset();
        DWORD code = 0;
        EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
        EXPECT_TRUE(GetExitCodeThread(thread, &code));
        EXPECT_EQ(code, value);
        CloseHandle(thread);
        CloseHandle(left);
    }
}

BOOL WINAPI refuse_execution(LPVOID, SIZE_T, DWORD, PDWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// A page that the system will not let run is said as such, on its own line, and never as a
// shortage of memory.
TEST(Threads, ARefusedCodePageIsReportedAsSuch)
{
    const struct {
        LeavingPageProtect protect;
        bool made;
        const char* line;
    } cases[] = {
        {VirtualProtect, true, ""},
        {refuse_execution, false, "ORMA_DLL: the system refused an executable page (error 5): the library starts no threads\n"},
    };
    for (const auto& c : cases) {
        ConsoleCapture console;
        void* const page = leaving_code_page(c.protect);
        const DWORD error = GetLastError();
        EXPECT_EQ(page != nullptr, c.made);
        EXPECT_EQ(error == LEAVING_ERROR_NO_CODE_PAGE, !c.made) << error;
        EXPECT_EQ(console.text(ConsoleStream::Err), c.line);
        if (page)
            VirtualFree(page, 0, MEM_RELEASE);
    }
}

// The test's end of the probe's pipe: byte mode, blocking.
struct Server {
    HANDLE pipe = CreateNamedPipeA(PIPE, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    ~Server() { CloseHandle(pipe); }
    bool write(const std::string& s, DWORD n = 0) { return WriteFile(pipe, s.data(), static_cast<DWORD>(s.size()), &n, nullptr); }
};

size_t spins(const ConsoleCapture& console)
{
    return std::ranges::count(console.text(ConsoleStream::Out), '\r');
}

TEST(Threads, StopWithoutKillOrWithoutThreadOrFromItself)
{
    ThreadRecord record(nullptr, nullptr);
    EXPECT_EQ(record.Stop(false) + record.Stop(true), 0u); // no thread
    const HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Probe w([&] { return WaitForSingleObject(release, 10000), 7u; });
    EXPECT_TRUE(w.run([&] {
        ASSERT_TRUE(wait_until([&] { return w.steps > 0; }));
        const auto t0 = Clock::now();
        EXPECT_EQ(w.Record().Stop(false), 1u); // at once, while the step still runs
        EXPECT_LT(Clock::now() - t0, milliseconds(50));
        EXPECT_FALSE(w.IsThreadRunning() || w.ends);
        SetEvent(release);
    }));
    EXPECT_TRUE(w.steps == 1 && w.ends == 1); // no step after the stop, then the end hook
    CloseHandle(release);
    Probe cleared;
    cleared.stop_at_start = true;
    EXPECT_TRUE(cleared.run());
    EXPECT_TRUE(cleared.steps == 0 && cleared.ends == 1);
    Probe* self = nullptr;
    Probe own([&] { return self->StopThread(), 0u; }); // does not wait for itself, ends after the step
    self = &own;
    const auto t0 = Clock::now();
    EXPECT_TRUE(own.run());
    EXPECT_LT(Clock::now() - t0, milliseconds(1000));
    EXPECT_TRUE(own.steps == 1 && own.ends == 0); // killed: no end hook
}

// A kill ends the worker within 100 ms, without its end hook, wherever it waits: in the pipe
// service's 5000 ms wait (stopped as the unload stops every worker), in an overlapped read, in
// the reconnect sleep. An aborted read prints no failure line.
TEST(Threads, KillWakesEveryWait)
{
    const HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (const int where : {0, 1, 2}) {
        ConsoleCapture console;
        auto server = where == 1 ? std::make_unique<Server>() : nullptr;
        Probe w(where ? Step{} : [&] { return WorkerThread::StoppableWait(1, &never, 5000); });
        EXPECT_TRUE(w.run([&] {
            ASSERT_TRUE(wait_until([&] { return w.steps > 0 && (where < 2 || spins(console) > 0); }));
            const auto t0 = Clock::now();
            EXPECT_TRUE(where ? w.StopThread() != 0 : ThreadRecord::StopAll(THREAD_STOP_BOUND_MS) == 0);
            EXPECT_LT(Clock::now() - t0, milliseconds(100)) << where;
        }));
        EXPECT_EQ(w.ends, 0);
        const auto text = console.text(ConsoleStream::Out);
        EXPECT_TRUE(where < 2 ? text.empty() : text.size() == 2 && std::strchr(SPIN, text[1])) << text;
    }
    CloseHandle(never);
}

// Reads reach OnReceive in order. A broken pipe prints the failure line once, then the spinner
// turns at the reconnect interval (300 ms when it is 0) until the pipe is back.
TEST(ReceiveThread, ReadsInOrderAndReconnectsWithTheSpinner)
{
    std::string sent;
    for (int i = 0; i < 300; ++i)
        sent += static_cast<char>('a' + i % 26);
    for (const auto& [interval, period] : {std::pair{0, 300}, std::pair{120, 120}}) {
        ConsoleCapture console;
        auto server = std::make_unique<Server>();
        Probe ch;
        ASSERT_TRUE(ch.Start(interval));
        ASSERT_TRUE(server->write(sent.substr(0, 100)) && server->write(sent.substr(100)));
        ASSERT_TRUE(wait_until([&] { return ch.got(sent); }));
        DWORD written = 0; // completes at once, and still reports its count
        EXPECT_TRUE(ch.PipeWrite("ping", 4, &written) && written == 4);
        server.reset();
        ASSERT_TRUE(wait_until([&] { return spins(console) >= 1; }));
        const auto t0 = Clock::now();
        ASSERT_TRUE(wait_until([&] { return spins(console) >= 4; }));
        EXPECT_GE(Clock::now() - t0, milliseconds(3 * period - 30));
        EXPECT_LT(Clock::now() - t0, milliseconds(6 * period));
        server = std::make_unique<Server>();
        bool resent = false; // once the probe is back
        ASSERT_TRUE(wait_until([&] { return (resent = resent || server->write("back")), ch.got(sent + "back"); }));
        ch.StopThread();
        const auto text = console.text(ConsoleStream::Out);
        std::string expected = "ReadFile FAILED! LastError: 0x6d / 109.\n";
        const size_t first = std::strchr(SPIN, text[text.find('\r') + 1]) - SPIN; // shared by all channels
        for (size_t i = 0; i < spins(console); ++i)
            expected += std::string("\r") + SPIN[(first + i) % 4];
        EXPECT_EQ(text, expected);
    }
}

// The owner's device: records each message behind its client number, or refuses it.
struct Recorder final : PipeOwner {
    BOOL MsgToDevice(uint8_t client, const uint8_t* data, uint16_t length) override
    {
        std::lock_guard lock(mutex);
        if (refuse)
            return SetLastError(refuse), FALSE;
        got.push_back(Bytes{client});
        got.back().insert(got.back().end(), data, data + length);
        arrived.notify_all();
        return TRUE;
    }
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Bytes> got;
    DWORD refuse = 0;
};

// The sixteen instances as the owner's pipe service thread keeps them.
struct Owner {
    explicit Owner(Recorder* device)
    {
        for (int i = 0; i < PIPE_NUMBER_COUNT; ++i) {
            pipes[i].Init(device, i, 10240, 10240);
            EXPECT_TRUE(pipes[i].Create());
            events[i] = pipes[i].GetEvent();
        }
    }
    // Services the instance that wakes the wait; WAIT_TIMEOUT when none did.
    DWORD serve(DWORD ms)
    {
        const DWORD r = WaitForMultipleObjects(PIPE_NUMBER_COUNT, events.data(), FALSE, ms);
        return r < PIPE_NUMBER_COUNT ? pipes[r].CheckOverlappedResult(), r : r;
    }
    std::array<CcNamedPipe, PIPE_NUMBER_COUNT> pipes;
    std::array<HANDLE, PIPE_NUMBER_COUNT> events{};
};

// io_pipe_client, the program next to this one, as a process of its own (the runtime joins the
// arguments with blanks). One that is still there a minute after its start is ended with 99.
struct Client {
    explicit Client(const std::string& args)
    {
        char path[MAX_PATH];
        std::string helper(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
        helper = helper.substr(0, helper.rfind('\\') + 1) + "io_pipe_client.exe";
        process = _spawnl(_P_NOWAIT, helper.c_str(), "io_pipe_client", args.c_str(), nullptr);
    }
    int exit_code(int status = -1)
    {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (WaitForSingleObject(reinterpret_cast<HANDLE>(process), static_cast<DWORD>(std::max<int64_t>(left, 0))))
            TerminateProcess(reinterpret_cast<HANDLE>(process), 99);
        return _cwait(&status, process, 0), status;
    }
    intptr_t process;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
};

Bytes pattern(std::initializer_list<size_t> lengths) // what a client writes: byte i is length + i
{
    Bytes b;
    for (const size_t length : lengths)
        for (size_t i = 0; i < length; ++i)
            b.push_back(static_cast<uint8_t>(length + i));
    return b;
}

// What a client wrote before service goes out in one call, in order, a message longer than 250
// bytes dropped whole with one line (in parts of 250 bytes when splitting is asked for), and a
// read is left pending. A client that goes away makes room for the next; a message the device
// refuses with 23 is tried five times.
TEST(CcNamedPipe, WaitingMessagesGoOutInOneServiceAndTheNextClientFollows)
{
    ConsoleCapture console;
    Recorder device;
    Owner owner(&device);
    CcNamedPipe& pipe = owner.pipes[1];
    Client first("1 hold 3 5 7 600");
    DWORD waiting = 0;
    ASSERT_TRUE(wait_until([&] { return PeekNamedPipe(pipe.PipeHandle(), nullptr, 0, nullptr, &waiting, nullptr) && waiting == 615; }));
    pipe.CheckOverlappedResult();
    EXPECT_TRUE(pipe.IsConnected() && pipe.IsPending());
    std::vector<size_t> sizes;
    Bytes all;
    for (const Bytes& m : device.got) {
        sizes.push_back(m[0] == 1 ? m.size() - 1 : 0);
        all.insert(all.end(), m.begin() + 1, m.end());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{3, 5, 7}));
    EXPECT_EQ(all, pattern({3, 5, 7}));
    EXPECT_EQ(console.text(ConsoleStream::Out), "CcNamedPipe: a message of 600 bytes from pipe client 1 dropped: longer than 250 bytes\n");
    TerminateProcess(reinterpret_cast<HANDLE>(first.process), 0); // the pipe breaks
    ASSERT_TRUE(wait_until([&] { return owner.serve(0), pipe.IsPending() && !pipe.IsConnected(); }));
    device.got.clear();
    pipe.SetSplitLongMessages(true);
    ASSERT_EQ(Client("1 quit 600 4").exit_code(), 0);
    ASSERT_TRUE(wait_until([&] { return owner.serve(0), device.got.size() == 4; }));
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(device.got[i].size() - 1, (std::vector<size_t>{250, 250, 100, 4})[i]);
    console.clear();
    device.refuse = ERROR_CRC; // five tries, then the message is dropped
    ASSERT_EQ(Client("1 quit 9").exit_code(), 0);
    ASSERT_TRUE(wait_until([&] { return owner.serve(0), !console.text(ConsoleStream::Out).empty(); }));
    device.refuse = ERROR_GEN_FAILURE;
    EXPECT_EQ(pipe.WriteToMaster(), FALSE);
    std::string expected;
    char line[100];
    for (const char* format : {"CcNamedPipe::WriteToMaster try %d failed.", "CcNamedPipe::WriteToMaster from pipe client 1 FAILED (lE 0x1f / 31)"})
        for (int attempt = 1; attempt <= 5; ++attempt)
            expected += (std::snprintf(line, sizeof line, format, attempt), line);
    EXPECT_EQ(console.text(ConsoleStream::Out), expected);
}

// Sixteen client processes at once, one on each pipe. The service thread forwards; a second
// thread answers, as the device receive thread does, while reads are pending. Each client
// checks that every answer is its own, in order: a lost one leaves it waiting until it is ended.
TEST(CcNamedPipe, SixteenClientsGetTheirOwnAnswers)
{
    constexpr int COUNT = 1000;
    Recorder device;
    Owner owner(&device);
    std::atomic<bool> done{false};
    std::thread service([&] {
        while (!done)
            owner.serve(100);
    });
    std::thread answers([&] {
        for (size_t next = 0; !done;) {
            std::unique_lock lock(device.mutex);
            if (!device.arrived.wait_for(lock, milliseconds(100), [&] { return device.got.size() > next; }))
                continue;
            const Bytes answer = device.got[next++]; // the client number, then the request
            lock.unlock();
            owner.pipes[answer[0]].WriteToClient(answer.data(), static_cast<uint8_t>(answer.size()));
        }
    });
    std::vector<Client> clients;
    for (int i = 0; i < PIPE_NUMBER_COUNT; ++i)
        clients.emplace_back(std::to_string(i) + " echo " + std::to_string(COUNT));
    for (Client& client : clients)
        EXPECT_EQ(client.exit_code(), 0);
    done = true;
    service.join();
    answers.join();
    EXPECT_EQ(device.got.size(), PIPE_NUMBER_COUNT * COUNT);
}

// A device that answers before its send has returned, as a fast one may: that answer settles
// what its client is owed, and the next client of the pipe gets its own first answer instead of
// losing it as one owed to the client that left.
TEST(CcNamedPipe, AnAnswerBeforeTheSendReturnsIsNotOwedToTheNextClient)
{
    struct Quick final : PipeOwner {
        BOOL MsgToDevice(uint8_t client, const uint8_t* data, uint16_t) override
        {
            const uint8_t answer[] = {0x41, client, static_cast<uint8_t>(data[0] | 0x80), 0x00};
            pipe->WriteToClient(answer, sizeof answer);
            return TRUE;
        }
        CcNamedPipe* pipe = nullptr;
    } device;
    CcNamedPipe pipe;
    device.pipe = &pipe;
    pipe.Init(&device, 2, 10240, 10240);
    ASSERT_TRUE(pipe.Create());
    char name[64];
    ASSERT_TRUE(MakePipeName(name, sizeof name, 2));
    const auto serve_until = [&](const std::function<bool()>& condition) {
        return wait_until([&] { return pipe.CheckOverlappedResult(), condition(); });
    };
    for (const uint8_t code : {uint8_t{0x12}, uint8_t{0x13}}) {
        const HANDLE client = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(client, INVALID_HANDLE_VALUE);
        DWORD n = 0;
        EXPECT_TRUE(WriteFile(client, &code, 1, &n, nullptr));
        Bytes answer(4);
        if (serve_until([&] { return PeekNamedPipe(client, nullptr, 0, nullptr, &n, nullptr) && n == 4; }))
            ReadFile(client, answer.data(), 4, &n, nullptr);
        EXPECT_EQ(answer, (Bytes{0x41, 0x02, static_cast<uint8_t>(code | 0x80), 0x00})) << "the answer to " << int{code};
        CloseHandle(client);
        ASSERT_TRUE(serve_until([&] { return !pipe.IsConnected(); }));
    }
    EXPECT_EQ(pipe.StaleAnswerCount(), 0u);
    pipe.Close();
}

// A client already there when listening starts counts as connected, a failed connect recreates
// the pipe: once they are served, nothing wakes the owner before its 5000 ms time-out.
TEST(CcNamedPipe, IdleOwnerWakesOnlyOnItsTimeOut)
{
    ConsoleCapture console;
    Recorder device;
    Owner owner(&device);
    Client early("5 hold 4");
    ASSERT_TRUE(wait_until([&] { return WaitForSingleObject(owner.events[5], 0) == WAIT_OBJECT_0; }));
    EXPECT_FALSE(owner.pipes[5].ConnectToNewClient()); // the system says 535: connected already
    EXPECT_TRUE(owner.pipes[5].IsConnected());
    EXPECT_EQ(Client("6 quit 4").exit_code(), 0);
    CancelIoEx(owner.pipes[7].PipeHandle(), nullptr); // the connect fails
    DWORD r = 0;
    for (int wakes = 0; (r = owner.serve(5000)) != WAIT_TIMEOUT && wakes < 10; ++wakes) {
    }
    EXPECT_EQ(r, WAIT_TIMEOUT);
    EXPECT_EQ(console.text(ConsoleStream::Out), "CcNamedPipe::CheckOverlappedResult connect to pipe client 7 FAILED");
    EXPECT_EQ(Client("7 quit 4").exit_code(), 0); // pipe 7 listens again
    ASSERT_TRUE(wait_until([&] { return owner.serve(0), device.got.size() == 3; }));
    owner.pipes[5].Close();
    EXPECT_EQ(early.exit_code(), 0);
}

} // namespace
