// Modes 1 and 2 end to end: the six exports against the ormasim module simulator, which the
// runner script starts (see e2e.cmake). ORMA_E2E_MODE picks the mode, ORMA_E2E_COUNT the number
// of commands of the long exchange. The runner writes this program's output to stdout.txt and
// stderr.txt in the current directory; the simulator records the frames it receives in
// sim_rx.txt.
#include "ORMA_DLL.h"
#include "log_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int env_int(const char* name, int fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

const int MODE = env_int("ORMA_E2E_MODE", 2);

// The simulator's answer to a command: code 0x80 | (code & 0x3F), payload echoed.
Bytes answer_to(Bytes command)
{
    command[0] = static_cast<uint8_t>(0x80 | (command[0] & 0x3F));
    return command;
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

bool send(const Bytes& message)
{
    return ORMA_DLL_Send_Message(message.data(), static_cast<uint8_t>(message.size())) == 0;
}

// One received message, or an empty one when the receive list is empty.
Bytes take()
{
    uint8_t buffer[255];
    uint8_t length = 0;
    return ORMA_DLL_Receive_Message(buffer, &length) == 0 ? Bytes(buffer, buffer + length) : Bytes{};
}

Bytes take_within(std::chrono::milliseconds deadline = 5000ms)
{
    Bytes got;
    wait_until([&] { return !(got = take()).empty(); }, deadline);
    return got;
}

bool on_wire(const Bytes& frame)
{
    return wait_until([&] { return read_text_file("sim_rx.txt").find(hex(frame) + "\n") != std::string::npos; }, 5000ms);
}

// The receive thread stores a response before it reopens the com state, so a host that took the
// response may still see the state closed for a moment.
bool com_state_reopens()
{
    return wait_until([] { return ORMA_DLL_getComState() == 1; }, 5000ms);
}

// Started for one scenario; how long the start took.
class Library {
public:
    explicit Library(int protocol, ORMA_DLL_ReceiveCallback callback = nullptr)
    {
        const auto begin = Clock::now();
        ORMA_DLL_Init(MODE, protocol, 0, callback);
        start_took = Clock::now() - begin;
    }
    ~Library() { ORMA_DLL_Exit(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    Clock::duration start_took;
};

class Exchange : public testing::Test {
protected:
    static void SetUpTestSuite() { std::setvbuf(stdout, nullptr, _IONBF, 0); }
};

// Also: the start waits 2000 ms in mode 2 after the link's own 1000 ms, and only those in mode 1;
// and with the system's configuration file, what goes out and what comes back is logged.
TEST_F(Exchange, CommandFramedOnTheWireAndResponsePolled)
{
    remove_file("e2e_general.txt");
    write_file("ORMA_DLL_Log.ini", "[ORMA_GENERAL]\nLogging = ALL\nFile = e2e_general.txt\n");
    Bytes longest(255);
    for (size_t i = 0; i < longest.size(); ++i)
        longest[i] = static_cast<uint8_t>(i * 7 + 3);
    longest[0] = 0x40;
    {
        Library lib(2);
        const auto wait = MODE == 2 ? 3000ms : 1000ms;
        EXPECT_GE(lib.start_took, wait);
        EXPECT_LT(lib.start_took, wait + 800ms);
        EXPECT_TRUE(take().empty());
        EXPECT_EQ(ORMA_DLL_getComState(), 1);
        ASSERT_TRUE(send({0x01}));
        EXPECT_TRUE(on_wire({0xAA, 0x01, 0x01, 0xAC})) << read_text_file("sim_rx.txt");
        EXPECT_EQ(take_within(), Bytes{0x81});
        EXPECT_TRUE(com_state_reopens());
        ASSERT_TRUE(send(longest));
        EXPECT_TRUE(on_wire(framed(0xAA, longest)));
        EXPECT_EQ(take_within(), answer_to(longest));
    }
    const std::string lines = "[ 0x01 ]\n[ 0x81 ]\n" + log_line(longest) + log_line(answer_to(longest));
    const std::string log = read_text_file("e2e_general.txt");
    EXPECT_EQ(log.rfind("\nConfiguration data of file \"ORMA_DLL_Log.ini\":\n", 0), 0u) << log;
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), lines.size())), lines);
    remove_file("ORMA_DLL_Log.ini");
}

TEST_F(Exchange, SecondCommandWaitsForTheResponseAndGoesOutOnLoop)
{
    Library lib(2);
    // Answered after 1500 ms and 500 ms, so the com state is seen closed while each is out (and
    // the serial read outlasts the port's own 1000 ms time-out).
    const Bytes first{0x7F, 0x06, 0x05, 0xDC};
    const Bytes second{0x7F, 0x06, 0x01, 0xF5};
    ASSERT_TRUE(send(first));
    ASSERT_TRUE(send(second));
    EXPECT_EQ(ORMA_DLL_getComState(), 0);
    ASSERT_TRUE(com_state_reopens());
    EXPECT_TRUE(on_wire(framed(0xAA, first)));
    EXPECT_EQ(read_text_file("sim_rx.txt").find(hex(framed(0xAA, second))), std::string::npos) << "sent before the response";
    EXPECT_EQ(take(), answer_to(first));

    EXPECT_EQ(ORMA_DLL_Loop(), 0);
    EXPECT_EQ(ORMA_DLL_getComState(), 0);
    EXPECT_TRUE(on_wire(framed(0xAA, second)));
    EXPECT_EQ(take_within(), answer_to(second));
    EXPECT_TRUE(com_state_reopens());
    EXPECT_EQ(ORMA_DLL_Loop(), 0); // nothing queued: the com state stays open
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
}

TEST_F(Exchange, NotificationsBeforeTheFirstPollArePruned)
{
    Library lib(2);
    const Bytes ask_three{0x7F, 0x02, 0x03}; // three sub-channel notifications, then the answer
    ASSERT_TRUE(send(ask_three));
    ASSERT_TRUE(com_state_reopens());
    EXPECT_EQ(take(), answer_to(ask_three));
    EXPECT_TRUE(take().empty()) << "a notification was kept before the first poll";

    const Bytes ask_two{0x7F, 0x02, 0x02};
    ASSERT_TRUE(send(ask_two));
    for (int i = 0; i < 2; ++i) {
        const Bytes n = take_within();
        ASSERT_EQ(n.size(), 10u) << hex(n);
        EXPECT_EQ(n[0], 0xE0);
        EXPECT_EQ(n[1], 0x46);
    }
    EXPECT_EQ(take_within(), answer_to(ask_two));
    ASSERT_TRUE(send({0x7F, 0x03})); // an error notification naming the command, then the answer
    const Bytes error = take_within();
    ASSERT_GE(error.size(), 3u);
    EXPECT_EQ(error[0], 0xF0);
    EXPECT_EQ(error[2], 0x7F);
    EXPECT_EQ(take_within(), (Bytes{0xBF, 0x03}));
}

TEST_F(Exchange, ExitWithASilentModuleIsQuick)
{
    auto lib = std::make_unique<Library>(2);
    ASSERT_TRUE(send({0x7F, 0x04})); // the module stops answering
    EXPECT_TRUE(on_wire(framed(0xAA, {0x7F, 0x04})));
    EXPECT_FALSE(wait_until([] { return !take().empty(); }, 300ms));
    const auto begin = Clock::now();
    lib.reset(); // ORMA_DLL_Exit
    EXPECT_LT(Clock::now() - begin, 200ms);
    const std::string err = read_text_file("stderr.txt");
    EXPECT_NE(err.find("ORMA_Cli_Stop: ReceiveThread terminated\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("ReceiveThread hasn't terminated"), std::string::npos) << err;
}

std::atomic<int> g_collected{0};

int32_t ORMA_DLL_CALL collect(const uint8_t*, int32_t)
{
    return ++g_collected;
}

// The one-shot link (Reconnect = OFF), as the system describes it: nothing reconnects, nothing
// is made up.
TEST_F(Exchange, PeerClosingTheConnectionEndsReceptionAndLaterSendsFail)
{
    if (MODE != 2)
        GTEST_SKIP() << "a dropped connection is a TCP matter";
    write_file("ORMA_DLL_Log.ini", "[ORMA_LINK]\nReconnect = OFF\n");
    Library lib(1, collect); // protocol 1: every send goes out at once
    ASSERT_TRUE(send({0x01}));
    ASSERT_TRUE(wait_until([] { return g_collected == 1; }));
    ASSERT_TRUE(send({0x7F, 0x05})); // the module closes the connection
    EXPECT_TRUE(wait_until([] {
        return read_text_file("stdout.txt").find("Remote instance closed connection\n") != std::string::npos;
    })) << read_text_file("stdout.txt");
    EXPECT_TRUE(wait_until([] {
        send({0x02});
        return read_text_file("stderr.txt").find("send() failed: error ") != std::string::npos;
    })) << read_text_file("stderr.txt");
    EXPECT_EQ(g_collected, 1);
    EXPECT_EQ(read_text_file("sim.out").find("ormasim: connected\normasim: connected"), std::string::npos)
        << "connected again";
    remove_file("ORMA_DLL_Log.ini");
}

const Bytes LINK_UP{0xF0, 0xE0, 0x03, 0xFF, 0x01, 0x12};
const Bytes LINK_DOWN{0xF0, 0xE0, 0x03, 0xFF, 0x00, 0x12};

// The module's line is pulled away for 1500 ms (7F 07: the TCP peer stops listening, the
// pseudo-terminal hangs up and comes back as a new one behind the same path): the command in
// flight is answered 0x85, the host hears "down", a command sent meanwhile is answered 0x85 at
// once, the host hears "up", and the next command is answered by the module.
TEST_F(Exchange, LinkPulledAwayComesBackAndTheHostHearsOfIt)
{
    Library lib(2);
    EXPECT_TRUE(take().empty()); // polled: notifications are kept
    ASSERT_TRUE(send({0x01}));
    EXPECT_EQ(take_within(), Bytes{0x81});
    ASSERT_TRUE(com_state_reopens());
    ASSERT_TRUE(send({0x7F, 0x07, 0x05, 0xDC}));
    EXPECT_EQ(hex(take_within()), "85");
    EXPECT_EQ(hex(take_within()), hex(LINK_DOWN));
    ASSERT_TRUE(com_state_reopens());
    ASSERT_TRUE(send({0x02}));
    EXPECT_EQ(hex(take_within(1000ms)), "85");
    EXPECT_EQ(hex(take_within()), hex(LINK_UP));
    ASSERT_TRUE(com_state_reopens());
    ASSERT_TRUE(send({0x03}));
    EXPECT_EQ(hex(take_within()), "83");
    EXPECT_TRUE(on_wire(framed(0xAA, {0x03})));
    EXPECT_TRUE(take().empty());
}

// A slow bridge: every frame of the module comes in two to four pieces 150 to 600 ms apart,
// with noise before it. Every answer comes whole and in order.
TEST_F(Exchange, SlowBridgeLosesNothing)
{
    Library lib(2);
    for (uint8_t i = 1; i <= 6; ++i) {
        const Bytes command{i, static_cast<uint8_t>(i * 3), 0xAA, 0x55};
        ASSERT_TRUE(send(command));
        EXPECT_EQ(hex(take_within(5000ms)), hex(answer_to(command))) << "command " << int{i};
        ASSERT_TRUE(com_state_reopens());
    }
}

// The simulator spoils every second answer (--bad-checksum 2), so the host never sees it: the
// command is answered 0x85 once the response deadline has passed, and the next one goes on as
// usual.
TEST_F(Exchange, CorruptedResponseIsAnsweredAfterTheDeadline)
{
    write_file("ORMA_DLL_Log.ini", "[ORMA_LINK]\nResponseTimeout = 300\n");
    Library lib(2);
    ASSERT_TRUE(send({0x01}));
    EXPECT_EQ(take_within(), Bytes{0x81});
    const auto begin = Clock::now();
    ASSERT_TRUE(send({0x02})); // its answer is spoiled
    EXPECT_EQ(take_within(), Bytes{0x85});
    EXPECT_GE(Clock::now() - begin, 300ms);
    ASSERT_TRUE(com_state_reopens());
    ASSERT_TRUE(send({0x03}));
    EXPECT_EQ(take_within(), Bytes{0x83});
    EXPECT_FALSE(wait_until([] { return !take().empty(); }, 500ms)) << "an extra answer";
    remove_file("ORMA_DLL_Log.ini");
}

// ResponseTimeout = 0 gives back the system's own flow control: the command whose answer was
// spoiled keeps the com state closed.
TEST_F(Exchange, WithoutADeadlineASpoiledAnswerKeepsTheCommandWaiting)
{
    write_file("ORMA_DLL_Log.ini", "[ORMA_LINK]\nResponseTimeout = 0\n");
    Library lib(2);
    ASSERT_TRUE(send({0x01}));
    EXPECT_EQ(take_within(), Bytes{0x81});
    ASSERT_TRUE(send({0x02})); // its answer is spoiled
    EXPECT_FALSE(wait_until([] { return ORMA_DLL_getComState() == 1; }, 1500ms));
    EXPECT_TRUE(take().empty());
    remove_file("ORMA_DLL_Log.ini");
}

// Many commands of random lengths, each identified by its sequence number (in its code and,
// from five bytes on, in its payload); up to three of them handed to the library at a time, so
// that protocol 2 queues them and ORMA_DLL_Loop sends them. Every answer must come, in order.
TEST_F(Exchange, LongExchangeLosesNothing)
{
    const int count = env_int("ORMA_E2E_COUNT", 10000);
    Library lib(2);
    std::mt19937 rng(static_cast<unsigned>(count) * 2654435761u);
    std::deque<Bytes> pending;
    int given = 0, answered = 0, idle = 0;
    auto last_progress = Clock::now();
    const auto start = Clock::now();
    while (answered < count) {
        for (; given < count && pending.size() < 3; ++given) {
            Bytes cmd(1 + rng() % 255);
            for (auto& b : cmd)
                b = static_cast<uint8_t>(rng());
            cmd[0] = static_cast<uint8_t>(1 + given % 0x7E); // 0x01..0x7E, never the control code
            for (size_t k = 0; cmd.size() >= 5 && k < 4; ++k)
                cmd[1 + k] = static_cast<uint8_t>(given >> (24 - 8 * k));
            ASSERT_TRUE(send(cmd));
            pending.push_back(answer_to(cmd));
        }
        ORMA_DLL_Loop();
        const Bytes got = take();
        if (got.empty()) {
            ASSERT_LT(Clock::now() - last_progress, 10s) << "no answer for 10 s after " << answered << " of " << count;
            if (++idle < 200)
                std::this_thread::yield();
            else
                std::this_thread::sleep_for(50us);
            continue;
        }
        idle = 0;
        last_progress = Clock::now();
        ASSERT_FALSE(pending.empty()) << "an answer nobody asked for: " << hex(got);
        ASSERT_EQ(hex(got), hex(pending.front())) << "answer " << answered << " of " << count;
        pending.pop_front();
        ++answered;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%d commands answered in %.2f s (%.0f per second)\n", count, seconds, count / seconds);
    EXPECT_FALSE(wait_until([] { return !take().empty(); }, 200ms)) << "an extra answer";
}

} // namespace
