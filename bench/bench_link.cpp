// Link benchmarks:
//   FrameExtract      frames cut per second from a stream of frames with noise between them,
//                     read in chunks of 512 bytes (items per second = frames per second)
//   ExportRoundTrip   one command through ORMA_DLL_Send_Message until its response comes out of
//                     ORMA_DLL_Receive_Message, mode 2 against ormasim on 127.0.0.1:5002
//   BareEchoRoundTrip the same command frame over a plain loopback TCP socket to an echo thread
//   BareSimRoundTrip  the same command frame over a plain loopback TCP socket to a second ormasim,
//                     until its answer frame is in: the peer's share of ExportRoundTrip. /0 waits
//                     in recv(); /1 polls without waiting, as ExportRoundTrip polls the exports
// Run them in one go (the default) to compare the two round trips on the same machine state.
#include "ORMA_DLL.h"
#include "link/frame.h"
#include "sim_core.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

void FrameExtract(benchmark::State& state)
{
    sim::Rng rng(42);
    std::vector<uint8_t> stream;
    int frames_in_stream = 0;
    while (stream.size() < (1u << 20)) {
        sim::Bytes message(1 + rng.below(64));
        for (auto& b : message)
            b = static_cast<uint8_t>(rng.next());
        message[0] = static_cast<uint8_t>(0x80 | (message[0] & 0x3F));
        const sim::Bytes frame = sim::make_frame(FRAME_START_FLOW, message);
        const sim::Bytes noise = sim::make_noise(rng, 16, frame);
        stream.insert(stream.end(), noise.begin(), noise.end());
        stream.insert(stream.end(), frame.begin(), frame.end());
        ++frames_in_stream;
    }
    RxBuffer buf;
    int64_t frames = 0;
    for (auto _ : state) {
        rxbuf_reset(&buf);
        int got = 0;
        for (size_t pos = 0; pos < stream.size();) {
            int space = 0;
            uint8_t* at = rxbuf_prepare(&buf, &space);
            const size_t take = std::min<size_t>({512, static_cast<size_t>(space), stream.size() - pos});
            std::memcpy(at, stream.data() + pos, take);
            rxbuf_commit(&buf, static_cast<int>(take));
            pos += take;
            const uint8_t* frame = nullptr;
            while (frame_extract(&buf, &frame) > 0)
                ++got;
        }
        if (got != frames_in_stream)
            state.SkipWithError("frames lost in the scan");
        frames += got;
    }
    state.SetItemsProcessed(frames);
}
BENCHMARK(FrameExtract)->Unit(benchmark::kMillisecond);

pid_t g_sim = -1;

// Starts ormasim on `port` (0: a free one) and waits for its ready line; its pid goes to `pid`.
// Returns the port it listens on, or 0.
int start_sim(const char* port, pid_t& pid)
{
    int out[2];
    if (pipe(out) != 0)
        return 0;
    pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(ORMASIM_PATH, "ormasim", "--port", port, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string said;
    char c;
    while (said.find("ormasim: ready") == std::string::npos && read(out[0], &c, 1) == 1)
        said += c;
    close(out[0]); // the simulator ignores SIGPIPE: its later lines go nowhere
    const size_t at = said.find("127.0.0.1:");
    return at == std::string::npos ? 0 : std::atoi(said.c_str() + at + 10);
}

// Starts ormasim on port 5002 and the library in mode 2, protocol 2, once for the whole run.
bool start_library()
{
    if (start_sim("5002", g_sim) != 5002)
        return false;
    ORMA_DLL_Init(2, 2, 0, nullptr);
    uint8_t buffer[255];
    uint8_t length = 0;
    ORMA_DLL_Receive_Message(buffer, &length);
    return true;
}

void stop_library()
{
    ORMA_DLL_Exit();
    if (g_sim > 0) {
        kill(g_sim, SIGTERM);
        waitpid(g_sim, nullptr, 0);
    }
}

void ExportRoundTrip(benchmark::State& state)
{
    uint8_t buffer[255];
    uint8_t length = 0;
    const uint8_t command[] = {0x40, 0x01, 0x02, 0x03};
    double slowest = 0;
    for (auto _ : state) {
        const auto sent = std::chrono::steady_clock::now();
        ORMA_DLL_Send_Message(command, sizeof command);
        // The response is stored before the com state reopens, so a command sent right after
        // taking it may wait in the send list for a moment: it goes out by itself, and the loop
        // calls Loop as a host's main loop does.
        while (ORMA_DLL_Receive_Message(buffer, &length) != 0) {
            ORMA_DLL_Loop();
            if (std::chrono::steady_clock::now() - sent > std::chrono::seconds(5)) {
                state.SkipWithError("no response within 5 s");
                return;
            }
        }
        slowest = std::max(slowest, std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - sent).count());
    }
    state.counters["slowest_us"] = slowest;
}
BENCHMARK(ExportRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

// A host that waits for the response in ORMA_DLL_Receive_Message_Wait instead of polling.
void WaitRoundTrip(benchmark::State& state)
{
    uint8_t buffer[255];
    uint8_t length = 0;
    const uint8_t command[] = {0x40, 0x01, 0x02, 0x03};
    for (auto _ : state) {
        ORMA_DLL_Send_Message(command, sizeof command);
        if (ORMA_DLL_Receive_Message_Wait(buffer, &length, 5000) != 0) {
            state.SkipWithError("no response within 5 s");
            return;
        }
    }
}
BENCHMARK(WaitRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

// The command of ExportRoundTrip (40 01 02 03) as a frame: the echo sends it back unchanged,
// ormasim answers with a frame of the same size (AA 04 80 01 02 03 34).
const uint8_t COMMAND_FRAME[] = {0xAA, 0x04, 0x40, 0x01, 0x02, 0x03, 0xF4};

// A loopback TCP client of `port` with Nagle's delay off, or -1.
int connect_loopback(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (port == 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Times the command frame's round trip over `fd`, the answer read by waiting in recv() or by
// polling without waiting.
void time_round_trips(benchmark::State& state, int fd, bool polled, const char* failure)
{
    if (fd < 0) {
        state.SkipWithError(failure);
        return;
    }
    uint8_t back[sizeof COMMAND_FRAME];
    for (auto _ : state) {
        send(fd, COMMAND_FRAME, sizeof COMMAND_FRAME, 0);
        size_t got = 0;
        while (got < sizeof back) {
            const ssize_t n = recv(fd, back + got, sizeof back - got, polled ? MSG_DONTWAIT : 0);
            if (n < 0 && polled && (errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            if (n <= 0) {
                state.SkipWithError(failure);
                return;
            }
            got += static_cast<size_t>(n);
        }
    }
}

void BareEchoRoundTrip(benchmark::State& state)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    listen(listener, 1);
    std::thread echo([listener] {
        const int fd = accept(listener, nullptr, nullptr);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        uint8_t b[256];
        ssize_t n;
        while ((n = recv(fd, b, sizeof b, 0)) > 0)
            send(fd, b, static_cast<size_t>(n), 0);
        close(fd);
    });
    const int fd = connect_loopback(ntohs(addr.sin_port));
    time_round_trips(state, fd, false, "echo failed");
    if (fd >= 0)
        close(fd);
    else
        shutdown(listener, SHUT_RDWR); // ends the echo thread's accept()
    echo.join();
    close(listener);
}
BENCHMARK(BareEchoRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

void BareSimRoundTrip(benchmark::State& state)
{
    pid_t sim = -1;
    const int fd = connect_loopback(static_cast<uint16_t>(start_sim("0", sim)));
    time_round_trips(state, fd, state.range(0) != 0, "second ormasim did not start or stopped answering");
    if (fd >= 0)
        close(fd);
    if (sim > 0) {
        kill(sim, SIGTERM);
        waitpid(sim, nullptr, 0);
    }
}
BENCHMARK(BareSimRoundTrip)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

} // namespace

// A host whose callback chains the next command from each response: the library's own callback
// path, with no thread of the host to wake. Each iteration is 1000 round trips; the counter gives
// one.
namespace chained {
std::atomic<int> left{0};
std::mutex lock;
std::condition_variable done;
const uint8_t command[] = {0x40, 0x01, 0x02, 0x03};

int32_t ORMA_DLL_CALL on_message(const uint8_t* message, int32_t)
{
    if ((message[0] & 0xC0) != 0x80)
        return 0;
    if (left.fetch_sub(1) > 1) {
        ORMA_DLL_Send_Message(command, sizeof command);
    } else {
        const std::lock_guard hold(lock);
        done.notify_one();
    }
    return 0;
}
} // namespace chained

void CallbackRoundTrip(benchmark::State& state)
{
    constexpr int PER_ITERATION = 1000;
    ORMA_DLL_Init(2, 2, 0, chained::on_message);
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        chained::left = PER_ITERATION;
        std::unique_lock hold(chained::lock);
        ORMA_DLL_Send_Message(chained::command, sizeof chained::command);
        if (!chained::done.wait_for(hold, std::chrono::seconds(10), [] { return chained::left <= 0; })) {
            state.SkipWithError("no response within 10 s");
            break;
        }
    }
    const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count();
    state.counters["round_trip_us"] = us / (static_cast<double>(state.iterations()) * PER_ITERATION);
    ORMA_DLL_Init(2, 2, 0, nullptr); // the polling host of the other benchmarks
}
BENCHMARK(CallbackRoundTrip)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (!start_library())
        std::fprintf(stderr, "bench_link: ormasim did not start\n");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stop_library();
    return 0;
}
