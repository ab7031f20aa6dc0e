// The exports under several threads: commands chained from the receive callback while the host
// sends too, many host threads sending at once, a receive thread that outlives its session, and
// a host that never polls. Mode 1 runs over a pseudo-terminal whose far end is a small module in
// this process; the tests also run under ThreadSanitizer.
#include "ORMA_DLL.h"
#include "api/receive_callbacks.h"
#include "console_capture.h"
#include "support/heap.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The module: answers every command frame with the response frame of the same start byte
// (code 0x80 | (code & 0x3F), payload echoed) and counts the commands by payload.
class PtyModule {
public:
    PtyModule()
    {
        char name[256];
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            return;
        setenv("ORMA_COM1", name, 1);
        thread_ = std::thread([this] { run(); });
    }
    ~PtyModule()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        ::close(master_);
        ::close(slave_);
    }
    bool ready() const { return thread_.joinable(); }
    bool write(const Bytes& bytes) { return ::write(master_, bytes.data(), bytes.size()) == ssize_t(bytes.size()); }
    std::map<Bytes, int> commands() const
    {
        std::lock_guard lock(lock_);
        return commands_;
    }
    size_t received() const
    {
        std::lock_guard lock(lock_);
        return received_;
    }

private:
    void run()
    {
        Bytes held;
        uint8_t chunk[512];
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n <= 0)
                continue;
            held.insert(held.end(), chunk, chunk + n);
            // The library writes whole, valid frames: start, length, message, sum.
            while (held.size() >= 3 && held.size() >= size_t(held[1]) + 3) {
                const uint8_t start = held[0];
                const Bytes message(held.begin() + 2, held.begin() + 2 + held[1]);
                held.erase(held.begin(), held.begin() + 3 + message.size());
                {
                    std::lock_guard lock(lock_);
                    ++commands_[message];
                    ++received_;
                }
                Bytes answer = message;
                answer[0] = static_cast<uint8_t>(0x80 | (message[0] & 0x3F));
                write(framed(start, answer));
            }
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex lock_;
    std::map<Bytes, int> commands_;
    size_t received_ = 0;
};

Bytes command(uint8_t code, unsigned id)
{
    return {code, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
}

int32_t send(const Bytes& m)
{
    return ORMA_DLL_Send_Message(m.data(), static_cast<uint8_t>(m.size()));
}

// Responses that reached the host, whole.
std::mutex g_lock;
std::map<Bytes, int> g_responses;
size_t g_response_count = 0;

void note_response(const uint8_t* m, int32_t length)
{
    std::lock_guard lock(g_lock);
    ++g_responses[Bytes(m, m + length)];
    ++g_response_count;
}

size_t response_count()
{
    std::lock_guard lock(g_lock);
    return g_response_count;
}

// Every command went out exactly once, and every one came back exactly once.
void expect_each_once(const PtyModule& module, size_t count)
{
    const auto commands = module.commands();
    EXPECT_EQ(commands.size(), count);
    for (const auto& [message, times] : commands)
        EXPECT_EQ(times, 1) << "command sent " << times << " times";
    std::lock_guard lock(g_lock);
    EXPECT_EQ(g_responses.size(), count);
    for (const auto& [payload, times] : g_responses)
        EXPECT_EQ(times, 1) << "response taken " << times << " times";
}

class ConcurrencyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(module_.ready());
        std::lock_guard lock(g_lock);
        g_responses.clear();
        g_response_count = 0;
    }
    void TearDown() override { ORMA_DLL_Exit(); }

    ConsoleCapture console_; // keeps the link's lines off the test output
    PtyModule module_;
};

constexpr unsigned CHAINED = 2000;
constexpr unsigned HOST_SENT = 500;
std::atomic<unsigned> g_chained{0};

// Each response to a chained command sends the next one, from the receive thread.
int32_t ORMA_DLL_CALL chain_callback(const uint8_t* m, int32_t length)
{
    note_response(m, length);
    if (m[0] == 0x81 && ++g_chained < CHAINED)
        send(command(0x01, g_chained));
    return 0;
}

TEST_F(ConcurrencyTest, CommandsChainedFromTheCallbackWhileTheHostSendsToo)
{
    g_chained = 0;
    ASSERT_EQ(ORMA_DLL_Init(1, 2, 0, chain_callback), 0);
    send(command(0x01, 0));
    for (unsigned i = 0; i < HOST_SENT; ++i) {
        send(command(0x02, i));
        ORMA_DLL_Loop();
    }
    ASSERT_TRUE(wait_until(
        [] {
            ORMA_DLL_Loop();
            return response_count() == CHAINED + HOST_SENT;
        },
        60s))
        << response_count() << " responses, com state " << ORMA_DLL_getComState();
    expect_each_once(module_, CHAINED + HOST_SENT);
}

int32_t ORMA_DLL_CALL count_callback(const uint8_t* m, int32_t length)
{
    note_response(m, length);
    return 0;
}

// Eight host threads send 100 commands each, to a callback under protocol 1 and to a host that
// polls under protocol 2.
class EightThreads : public ConcurrencyTest, public testing::WithParamInterface<int32_t> {};

TEST_P(EightThreads, SendingAtOnce)
{
    const bool polled = GetParam() == 2;
    ASSERT_EQ(ORMA_DLL_Init(1, GetParam(), 0, polled ? nullptr : count_callback), 0);
    std::atomic<bool> sending{true};
    std::thread pump([&] { // the polling host's loop: takes responses, sends what waits
        uint8_t buf[255], len;
        while (polled && (sending || response_count() < 800)) {
            ORMA_DLL_Loop();
            if (ORMA_DLL_Receive_Message(buf, &len) == 0)
                note_response(buf, len);
            else
                std::this_thread::sleep_for(100us);
        }
    });
    std::vector<std::thread> senders;
    for (unsigned t = 0; t < 8; ++t)
        senders.emplace_back([t] {
            for (unsigned i = 0; i < 100; ++i)
                send(command(0x03, t * 100 + i));
        });
    for (auto& s : senders)
        s.join();
    const bool all = wait_until([] { return response_count() == 800; }, 60s);
    sending = false;
    if (!all) {
        ORMA_DLL_Exit(); // the pump ends once nothing is left to take
        std::lock_guard lock(g_lock);
        g_response_count = 800;
    }
    pump.join();
    ASSERT_TRUE(all);
    expect_each_once(module_, 800);
}
INSTANTIATE_TEST_SUITE_P(Protocol, EightThreads, testing::Values(1, 2));

// Holds the receive thread in the host's callback for longer than a stop waits.
std::atomic<int> g_calls{0};
std::atomic<bool> g_returned{false};
int32_t ORMA_DLL_CALL blocking_callback(const uint8_t*, int32_t)
{
    if (g_calls++ == 0)
        std::this_thread::sleep_for(11s);
    g_returned = true;
    return 0;
}

TEST_F(ConcurrencyTest, ReceiveThreadThatOutlivesItsSessionReachesNothingOfTheNext)
{
    ASSERT_EQ(ORMA_DLL_Init(1, 2, 0, blocking_callback), 0);
    // Two responses in one read: the second is still in the thread's buffer when the first
    // holds it.
    Bytes two = framed(0xAA, {0x81, 1});
    const Bytes second = framed(0xAA, {0x82, 2});
    two.insert(two.end(), second.begin(), second.end());
    ASSERT_TRUE(module_.write(two));
    ASSERT_TRUE(wait_until([] { return g_calls == 1; }));
    ORMA_DLL_Exit();
    EXPECT_TRUE(console_.has(ConsoleStream::Err, "ORMA_Cli_Stop: ReceiveThread hasn't terminated\n"));
    EXPECT_FALSE(g_returned);

    PtyModule next; // the new session's module
    ASSERT_EQ(ORMA_DLL_Init(1, 2, 0, nullptr), 0);
    ASSERT_TRUE(wait_until([] { return g_returned.load(); }, 5s));
    std::this_thread::sleep_for(500ms); // whatever the late thread still does, it does now
    uint8_t buf[255], len = 0;
    EXPECT_EQ(ORMA_DLL_Receive_Message(buf, &len), 1) << "the new session got a message of the old";
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(next.received(), 0u);
}

// A host that never polls: the table of the tracking heap fills, and each further response is
// dropped without a report of its own. Once the host has taken some, a new episode may report.
TEST_F(ConcurrencyTest, HostThatNeverPollsGetsOneReportPerEpisode)
{
    FaultRecorder faults;
    ASSERT_EQ(ORMA_DLL_Init(0, 2, 0, nullptr), 0);
    std::remove("heap_dump.txt");
    const auto arrive = [](int count) {
        std::thread receiver([count] {
            const uint8_t response[] = {0x81, 0x00};
            for (int i = 0; i < count; ++i)
                OnResponse(response, 2);
        });
        receiver.join();
    };
    const auto begin = std::chrono::steady_clock::now();
    StdoutCapture out;
    out.start();
    arrive(200000);
    out.stop();
    // A report per message (box and heap dump) managed a few hundred messages a second.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 60s);
    EXPECT_EQ(faults.count(), 1u);
    EXPECT_EQ(Heap_LiveCount(), HEAP_TABLE_SIZE);
    std::remove("heap_dump.txt");

    uint8_t buf[255], len;
    for (int i = 0; i < 99; ++i) // not yet room enough: the episode goes on
        ASSERT_EQ(ORMA_DLL_Receive_Message(buf, &len), 0);
    arrive(1000);
    EXPECT_EQ(faults.count(), 1u);
    EXPECT_EQ(read_text_file("heap_dump.txt"), "");
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(ORMA_DLL_Receive_Message(buf, &len), 0);
    out.start();
    arrive(1000);
    out.stop();
    EXPECT_EQ(faults.count(), 2u);
    EXPECT_NE(read_text_file("heap_dump.txt"), "");
}

} // namespace
