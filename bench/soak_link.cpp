// Soak of mode 2 under protocol 2: many commands through the six exports against an ormasim that
// puts noise before its frames, writes them in pieces and corrupts the checksum of every K-th
// answer. Every command must get its response or the library's "no answer" 0x85 (the corrupted
// ones, once their deadline passes), in order, with no stall; the count of 0x85 must be the
// count of corrupted answers. A program, not a test: it takes minutes.
//
//   soak_link [--count N] [--bad-checksum K] [--timeout MS] [--noise N] [--split N] [--seed N]
//
// It works in a fresh folder under /tmp with its own ORMA_DLL_Log.ini ([ORMA_LINK]
// ResponseTimeout = MS, default 250) and starts ormasim on 127.0.0.1:5002. Exit status 0 when
// every check held.
#include "ORMA_DLL.h"

#include <fcntl.h>
#include <spawn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

struct Settings {
    long count = 100000;
    long bad_checksum = 97;
    long timeout_ms = 250;
    long noise = 48;
    long split = 4;
    long seed = 7;
};

Settings parse(int argc, char** argv)
{
    Settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        long* target = name == "--count"          ? &s.count
                       : name == "--bad-checksum" ? &s.bad_checksum
                       : name == "--timeout"      ? &s.timeout_ms
                       : name == "--noise"        ? &s.noise
                       : name == "--split"        ? &s.split
                       : name == "--seed"         ? &s.seed
                                                  : nullptr;
        if (!target || i + 1 >= argc) {
            std::fprintf(stderr, "usage: soak_link [--count N] [--bad-checksum K] [--timeout MS] [--noise N] "
                                 "[--split N] [--seed N]\n");
            std::exit(2);
        }
        *target = std::strtol(argv[++i], nullptr, 10);
    }
    return s;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string hex(const Bytes& bytes)
{
    std::string text;
    char cell[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]);
        text += cell;
    }
    return text;
}

// The simulator, started in the current folder with its output in sim.out.
pid_t start_simulator(const Settings& s)
{
    std::vector<std::string> args = {ORMASIM_PATH,  "--tcp",   "--port", "5002",
                                      "--noise",     std::to_string(s.noise), "--split", std::to_string(s.split),
                                      "--seed",      std::to_string(s.seed)};
    if (s.bad_checksum > 0) {
        args.push_back("--bad-checksum");
        args.push_back(std::to_string(s.bad_checksum));
    }
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "sim.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed)
        return -1;
    const auto limit = Clock::now() + std::chrono::seconds(10);
    while (read_file("sim.out").find("ormasim: ready") == std::string::npos) {
        if (Clock::now() > limit || waitpid(pid, nullptr, WNOHANG) == pid) {
            std::fprintf(stderr, "soak_link: the simulator did not get ready:\n%s", read_file("sim.out").c_str());
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pid;
}

} // namespace

int main(int argc, char** argv)
{
    const Settings s = parse(argc, argv);
    char folder[] = "/tmp/soak_link.XXXXXX";
    if (!mkdtemp(folder) || chdir(folder) != 0) {
        std::perror("soak_link: work folder");
        return 1;
    }
    std::ofstream("ORMA_DLL_Log.ini") << "[ORMA_LINK]\nResponseTimeout = " << s.timeout_ms << "\n";
    const pid_t sim = start_simulator(s);
    if (sim < 0)
        return 1;
    std::printf("soak_link: %ld commands, mode 2, protocol 2, ResponseTimeout %ld ms, simulator --noise %ld "
                "--split %ld --bad-checksum %ld, in %s\n",
                s.count, s.timeout_ms, s.noise, s.split, s.bad_checksum, folder);
    std::fflush(stdout);

    ORMA_DLL_Init(2, 2, 0, nullptr);
    std::mt19937 rng(static_cast<unsigned>(s.seed));
    std::deque<std::pair<long, Bytes>> pending; // command number, expected answer
    long given = 0, answered = 0, no_answer = 0, misplaced = 0;
    std::vector<long> no_answer_at;
    Clock::duration longest_wait{};
    auto last_progress = Clock::now();
    const auto begin = last_progress;
    bool stalled = false;
    std::string failure;
    while (answered < s.count) {
        for (; given < s.count && pending.size() < 3; ++given) {
            Bytes command(1 + rng() % 32);
            for (auto& b : command)
                b = static_cast<uint8_t>(rng());
            // Never the control code 0x7F, nor a code answered with 0x85 (05 -> 85 would pass
            // for the library's "no answer").
            command[0] = static_cast<uint8_t>(1 + given % 0x7E);
            if ((command[0] & 0x3F) == 0x05)
                ++command[0];
            Bytes answer = command;
            answer[0] = static_cast<uint8_t>(0x80 | (command[0] & 0x3F));
            ORMA_DLL_Send_Message(command.data(), static_cast<uint8_t>(command.size()));
            pending.emplace_back(given + 1, answer);
        }
        ORMA_DLL_Loop();
        uint8_t buffer[255];
        uint8_t length = 0;
        if (ORMA_DLL_Receive_Message(buffer, &length) != 0) {
            if (Clock::now() - last_progress > std::chrono::seconds(10)) {
                stalled = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            continue;
        }
        const Bytes got(buffer, buffer + length);
        const auto now = Clock::now();
        longest_wait = std::max(longest_wait, now - last_progress);
        last_progress = now;
        if (pending.empty()) {
            failure = "an answer nobody asked for: " + hex(got);
            break;
        }
        if (got == Bytes{0x85}) {
            ++no_answer;
            no_answer_at.push_back(pending.front().first);
            if (s.bad_checksum <= 0 || pending.front().first % s.bad_checksum != 0)
                ++misplaced;
        } else if (got != pending.front().second) {
            failure = "answer " + std::to_string(answered + 1) + " is " + hex(got) + ", expected " +
                      hex(pending.front().second);
            break;
        }
        pending.pop_front();
        ++answered;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    ORMA_DLL_Exit();
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);

    const long corrupted = s.bad_checksum > 0 ? answered / s.bad_checksum : 0;
    const std::string sim_out = read_file("sim.out");
    std::printf("soak_link: %ld of %ld commands answered in %.1f s (%.0f per second)\n", answered, s.count, seconds,
                static_cast<double>(answered) / seconds);
    std::printf("soak_link: %ld real responses, %ld answered 0x85 (%ld of them not a corrupted one); %ld answers "
                "were corrupted\n",
                answered - no_answer, no_answer, misplaced, corrupted);
    std::printf("soak_link: longest wait for an answer %.0f ms\n",
                std::chrono::duration<double, std::milli>(longest_wait).count());
    const size_t stopped = sim_out.rfind("ormasim: stopped");
    std::printf("soak_link: simulator: %s", stopped == std::string::npos ? "no last line\n" : sim_out.substr(stopped).c_str());
    bool ok = true;
    if (stalled) {
        std::printf("soak_link: FAILED: stalled for 10 s after %ld answers\n", answered);
        ok = false;
    }
    if (!failure.empty()) {
        std::printf("soak_link: FAILED: %s\n", failure.c_str());
        ok = false;
    }
    if (no_answer != corrupted || misplaced != 0) {
        std::printf("soak_link: FAILED: the 0x85 answers do not match the corrupted responses\n");
        ok = false;
    }
    std::printf("soak_link: %s\n", ok ? "PASSED" : "FAILED");
    return ok ? 0 : 1;
}
