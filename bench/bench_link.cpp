// Link benchmarks:
//   FrameExtract      frames cut per second from a stream of frames with noise between them,
//                     read in chunks of 512 bytes (items per second = frames per second)
//   ExportRoundTrip   one command through ORMA_DLL_Send_Message until its response comes out of
//                     ORMA_DLL_Receive_Message, mode 2 against ormasim on 127.0.0.1:5002
//   BareEchoRoundTrip the same four bytes over a plain loopback TCP socket to an echo thread
// Run them in one go (the default) to compare the two round trips on the same machine state.
#include "ORMA_DLL.h"
#include "link/frame.h"
#include "sim_core.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
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

// Starts ormasim on port 5002 and the library in mode 2, protocol 2, once for the whole run.
bool start_library()
{
    g_sim = fork();
    if (g_sim == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        execl(ORMASIM_PATH, "ormasim", "--port", "5002", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait for the listener without connecting to it (the simulator serves one peer at a time).
    bool up = false;
    for (int i = 0; i < 300 && !up; ++i) {
        const int probe = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(5002);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        up = bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0; // taken: listening
        close(probe);
        if (!up)
            usleep(10000);
    }
    ORMA_DLL_Init(2, 2, 0, nullptr);
    uint8_t buffer[255];
    uint8_t length = 0;
    ORMA_DLL_Receive_Message(buffer, &length);
    return up;
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
        // taking it may wait in the send list: the loop sends it, as a host's main loop does.
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
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const uint8_t frame[] = {0xAA, 0x04, 0x40, 0x01, 0x02, 0x03, 0xF4};
    uint8_t back[sizeof frame];
    for (auto _ : state) {
        send(fd, frame, sizeof frame, 0);
        size_t got = 0;
        while (got < sizeof back) {
            const ssize_t n = recv(fd, back + got, sizeof back - got, 0);
            if (n <= 0) {
                state.SkipWithError("echo failed");
                break;
            }
            got += static_cast<size_t>(n);
        }
    }
    close(fd);
    echo.join();
    close(listener);
}
BENCHMARK(BareEchoRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

} // namespace

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
