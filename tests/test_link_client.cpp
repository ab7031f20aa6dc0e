// The link client against a TCP peer inside the test: start, dispatch, its callbacks, recovery
// from noise and from frames that never complete, and the stop.
#include "link/frame.h"
#include "link/link_client.h"
#include "support/message.h"
#include "support/options.h"
#include "console_capture.h"
#include "link_sock.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::mutex g_lock;
std::vector<Bytes> g_got[2]; // by callback
std::string g_events;        // "lost", "down" and "up", in the order they came

const Bytes LINK_UP(std::begin(MSG_LINK_UP), std::end(MSG_LINK_UP));
const Bytes LINK_DOWN(std::begin(MSG_LINK_DOWN), std::end(MSG_LINK_DOWN));

template <int N>
int32_t on_message(const uint8_t* m, int32_t n)
{
    std::lock_guard lock(g_lock);
    g_got[N].emplace_back(m, m + n);
    if (N == 1 && g_got[N].back() == LINK_UP)
        g_events += "up ";
    if (N == 1 && g_got[N].back() == LINK_DOWN)
        g_events += "down ";
    return 0;
}
void on_lost()
{
    std::lock_guard lock(g_lock);
    g_events += "lost ";
}
std::vector<Bytes> got(int n)
{
    std::lock_guard lock(g_lock);
    return g_got[n];
}
std::string events()
{
    std::lock_guard lock(g_lock);
    return g_events;
}
void forget_received()
{
    std::lock_guard lock(g_lock);
    g_got[0].clear();
    g_got[1].clear();
    g_events.clear();
}

void set_reconnect(bool on)
{
    OrmaOptions options;
    options.reconnect = on;
    options_set(options);
}

// The bound of one write.
std::chrono::steady_clock::time_point soon()
{
    return std::chrono::steady_clock::now() + std::chrono::seconds(1);
}

class LinkClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testsock::init());
        forget_received();
    }
    void TearDown() override
    {
        ORMA_Cli_Stop();
        ORMA_Cli_SetLinkLost(nullptr);
        set_reconnect(true);
        testsock::close(peer_);
        testsock::close(listener_);
    }
    // Starts the link client as TCP client of a listener of the test, with both callbacks.
    void start()
    {
        port_ = 0;
        listener_ = testsock::listen_loopback(&port_);
        ASSERT_NE(listener_, testsock::NONE);
        configure(port_);
        ASSERT_EQ(ORMA_Cli_Start(), 0);
        peer_ = testsock::accept_one(listener_, 5000);
        ASSERT_NE(peer_, testsock::NONE);
    }
    void configure(uint16_t port)
    {
        LinkConfig config{};
        config.type = LINK_TCP;
        config.tcp.port = port;
        std::strcpy(config.tcp.address, "127.0.0.1");
        ORMA_Cli_Configure(&config);
        ORMA_Cli_SetCallbacks(on_message<0>, on_message<1>);
        ORMA_Cli_SetLinkLost(on_lost);
    }
    // What the peer receives until `count` bytes are in or 5 s have passed.
    Bytes peer_reads(size_t count)
    {
        Bytes all;
        wait_until([&] {
            const Bytes more = testsock::receive_some(peer_, 50);
            all.insert(all.end(), more.begin(), more.end());
            return all.size() >= count;
        }, 5000ms);
        return all;
    }
    void send(const Bytes& bytes) { ASSERT_TRUE(testsock::send_all(peer_, bytes)); }
    static void drop(testsock::Socket& socket) { testsock::close(socket), socket = testsock::NONE; }
    bool first_gets(size_t count, std::chrono::milliseconds limit = 10s)
    {
        return wait_until([&] { return got(0).size() == count; }, limit);
    }

    ConsoleCapture console_;
    uint16_t port_ = 0;
    testsock::Socket listener_ = testsock::NONE;
    testsock::Socket peer_ = testsock::NONE;
};

TEST_F(LinkClientTest, StartsWithItsLinesAndDispatchesByStartByteAndClass)
{
    start();
    EXPECT_TRUE(wait_until([&] { return console_.has(ConsoleStream::Out, "ClientReceiveThread started\n"); }));
    EXPECT_EQ(console_.text(ConsoleStream::Out),
              "ORMA_Cli_Start()\nClient connecting to: 127.0.0.1\nClientReceiveThread started\n");
    send(cat(framed(0xAA, {0x81, 0x07}), framed(0xAA, {0xE0, 0x46, 1, 2}), framed(0x55, {0x40, 0x01, 0x02}),
             framed(0xCC, {0xC1}), framed(0xAA, {0x40, 0x01, 0x02}), framed(0xAA, {0x3F}), framed(0xAA, {0x82})));
    ASSERT_TRUE(first_gets(4));
    EXPECT_EQ(got(0), (std::vector<Bytes>{{0x81, 0x07}, {0x40, 0x01, 0x02}, {0xC1}, {0x82}}));
    EXPECT_EQ(got(1), (std::vector<Bytes>{{0xE0, 0x46, 1, 2}}));
    // Classes 00 and 01 under start byte 0xAA reach nobody and are reported once each.
    EXPECT_EQ(console_.text(ConsoleStream::Err), "ORMA_Client: received invalid message\n"
                                                 "ORMA_Client: received invalid message\n");
}

TEST_F(LinkClientTest, NullLeavesACallbackAsItWasAndConfigureClearsBoth)
{
    start();
    ORMA_Cli_SetCallbacks(nullptr, nullptr);
    send(cat(framed(0xAA, {0x81}), framed(0xAA, {0xC1})));
    ASSERT_TRUE(wait_until([] { return got(0).size() == 1 && got(1).size() == 1; }));
    // Cleared by a configuration; a message whose callback is not set is dropped without a line.
    ORMA_Cli_Configure(nullptr);
    ORMA_Cli_SetCallbacks(on_message<0>, nullptr);
    send(cat(framed(0xAA, {0xC5}), framed(0xAA, {0x85})));
    ASSERT_TRUE(first_gets(2));
    EXPECT_EQ(got(1).size(), 1u);
    EXPECT_EQ(console_.text(ConsoleStream::Err), "");
}

// Noise fills the 2048-byte buffer with the start of a frame in its last bytes: the noise goes,
// the start stays, and the frame comes through whole, every time.
TEST_F(LinkClientTest, FrameStraddlingAFullBufferOfNoiseIsDelivered)
{
    start();
    for (size_t round = 0; round < 50; ++round) {
        Bytes noise(2000 + round % 48);
        for (size_t i = 0; i < noise.size(); ++i)
            noise[i] = static_cast<uint8_t>(0x01 + (i * 7 + round) % 0x50);
        Bytes message(60, static_cast<uint8_t>(round));
        message[0] = 0x81;
        send(cat(noise, framed(0xAA, message)));
        ASSERT_TRUE(first_gets(round + 1, 3s)) << "lost after " << noise.size() << " noise bytes";
        EXPECT_EQ(got(0).back(), message);
    }
}

// A slow bridge: a response in pieces with 150 to 600 ms between them, alone or behind a false
// start (the start of a frame that never completes), comes out whole, and the next one too.
TEST_F(LinkClientTest, ResponseInPiecesFarApartComesOutWhole)
{
    start();
    const Bytes response = framed(0xAA, {0x81, 1, 2, 3, 4, 5, 6, 7, 8});
    const size_t cuts[] = {0, 2, 5, 9, response.size()};
    const std::chrono::milliseconds gaps[] = {150ms, 600ms, 320ms};
    for (const bool false_start : {false, true}) {
        const size_t before = got(0).size();
        if (false_start)
            send({0xAA, 0xF0, 0x10});
        for (size_t i = 0; i + 1 < std::size(cuts); ++i) {
            if (i > 0)
                std::this_thread::sleep_for(gaps[i - 1]); // the line is quiet between the pieces
            send(Bytes(response.begin() + static_cast<long>(cuts[i]), response.begin() + static_cast<long>(cuts[i + 1])));
        }
        ASSERT_TRUE(first_gets(before + 1, 3s)) << (false_start ? "behind a false start" : "alone");
        EXPECT_EQ(got(0).back(), Bytes(response.begin() + 2, response.end() - 1));
        send(framed(0xAA, {0x82}));
        ASSERT_TRUE(first_gets(before + 2, 3s));
    }
}

TEST_F(LinkClientTest, FalseStartIsGivenUpAfterAQuietSpellOf100Ms)
{
    start();
    // Noise that looks like the start of a 258-byte frame, then a response that is complete. The
    // clock is read before the send: the quiet spell may begin while send() returns.
    const auto sent = Clock::now();
    send(cat(Bytes{0xAA, 0xFF, 0x10}, framed(0xAA, {0x81})));
    ASSERT_TRUE(first_gets(1));
    EXPECT_GE(Clock::now() - sent, 90ms);
    EXPECT_LT(Clock::now() - sent, 1s);
    send(framed(0xAA, {0x82})); // reception goes on
    ASSERT_TRUE(first_gets(2));
}

// A stop while data keeps arriving ends the thread after its current read (a silent module is
// the end-to-end tests' matter).
TEST_F(LinkClientTest, StopWhileDataKeepsArrivingIsPromptAndOrderly)
{
    start();
    std::atomic<bool> feed{true};
    std::thread feeder([&] {
        while (feed && testsock::send_all(peer_, framed(0xAA, {0x81})))
            std::this_thread::sleep_for(1ms);
    });
    if (!wait_until([&] { return got(0).size() > 10; })) {
        feed = false;
        feeder.join();
        FAIL() << "nothing arrived";
    }
    console_.clear();
    const auto begin = Clock::now();
    EXPECT_EQ(ORMA_Cli_Stop(), 0);
    EXPECT_LT(Clock::now() - begin, 200ms);
    feed = false;
    feeder.join();
    EXPECT_EQ(console_.text(ConsoleStream::Err),
              "ORMA_Cli_Stop: ReceiveThread terminated\nORMA_Cli_Stop: Closing com interface\n");
}

std::atomic<bool> g_release{false};
std::atomic<int> g_held{0};

int32_t holding_callback(const uint8_t*, int32_t)
{
    ++g_held;
    wait_until([] { return g_release.load(); }, 60s);
    return 0;
}

// A callback that holds the receive thread longer than a stop waits: the stop gives up after
// 10000 ms with its line and closes the link; the thread, once released, dispatches nothing
// more, and a new start works.
TEST_F(LinkClientTest, StopGivesUpOnAThreadHeldPastItsBound)
{
    start();
    ORMA_Cli_SetCallbacks(holding_callback, nullptr);
    send(cat(framed(0xAA, {0x81}), framed(0xAA, {0x82})));
    ASSERT_TRUE(wait_until([] { return g_held == 1; }));
    console_.clear();
    const auto begin = Clock::now();
    EXPECT_EQ(ORMA_Cli_Stop(), 0);
    EXPECT_GE(Clock::now() - begin, 9900ms);
    EXPECT_LT(Clock::now() - begin, 12s);
    EXPECT_EQ(console_.text(ConsoleStream::Err),
              "ORMA_Cli_Stop: ReceiveThread hasn't terminated\nORMA_Cli_Stop: Closing com interface\n");
    g_release = true;
    testsock::close(peer_);
    testsock::close(listener_);
    start();
    send(framed(0xAA, {0x83}));
    ASSERT_TRUE(first_gets(1));
    EXPECT_EQ(got(0), std::vector<Bytes>{Bytes{0x83}});
    EXPECT_EQ(g_held, 1);
}

// The one-shot link (Reconnect = OFF): an open that fails ends the start.
TEST_F(LinkClientTest, OneShotOpenFailureIsReportedAndStopHasNothingToClose)
{
    set_reconnect(false);
    configure(testsock::free_port());
    EXPECT_EQ(ORMA_Cli_Start(), -1);
    const auto err = console_.text(ConsoleStream::Err);
    EXPECT_EQ(err.rfind("connect() failed: ", 0), 0u) << err;
    EXPECT_EQ(err.substr(err.find('\n')), "\nOpen() failed\n!");
    console_.clear();
    EXPECT_EQ(ORMA_Cli_Stop(), 0);
    EXPECT_EQ(console_.text(ConsoleStream::Out) + console_.text(ConsoleStream::Err), "");
}

// The one-shot link: a peer that closes ends reception; no notification, no answer, no new
// connection, and a send goes to the closed link, which says so, and reports it not written.
TEST_F(LinkClientTest, OneShotLinkStaysDownAfterThePeerCloses)
{
    set_reconnect(false);
    start();
    drop(peer_);
    ASSERT_TRUE(wait_until([&] { return console_.has(ConsoleStream::Out, "Remote instance closed connection\n"); }));
    EXPECT_EQ(ORMA_Cli_Send(0xAA, Bytes{0x01}.data(), 1, soon()), -1);
    EXPECT_TRUE(wait_until([&] { return console_.has(ConsoleStream::Err, "send() failed: error "); }));
    EXPECT_EQ(testsock::accept_one(listener_, 1000), testsock::NONE) << "connected again";
    EXPECT_EQ(events(), "");
}

// A peer that drops the connection: the link says it went down, the console gets one line for the
// whole outage however many attempts it takes, the attempts come every 300 ms and never back to
// back, the host hears "down" then "up", sends while down are refused (the link answers nothing
// itself), and traffic goes on over the new connection.
TEST_F(LinkClientTest, DroppedConnectionComesBackAndTheHostHearsOfIt)
{
    start();
    send(framed(0xAA, {0x81}));
    ASSERT_TRUE(first_gets(1));
    EXPECT_EQ(console_.text(ConsoleStream::Err), "");
    // Nobody listens for a while: the attempts are refused.
    drop(listener_);
    drop(peer_);
    ASSERT_TRUE(wait_until([] { return events() == "lost down "; })) << events();
    EXPECT_EQ(ORMA_Cli_Send(0xAA, Bytes{0x02}.data(), 1, soon()), -1);
    const double cpu_before = process_cpu_ms();
    std::this_thread::sleep_for(1000ms); // some three attempts, refused
    EXPECT_LT(process_cpu_ms() - cpu_before, 200.0) << "attempts back to back";
    EXPECT_EQ(events(), "lost down ");
    listener_ = testsock::listen_loopback(&port_);
    ASSERT_NE(listener_, testsock::NONE);
    peer_ = testsock::accept_one(listener_, 2000);
    ASSERT_NE(peer_, testsock::NONE);
    EXPECT_TRUE(wait_until([] { return events() == "lost down up "; })) << events();
    EXPECT_EQ(console_.text(ConsoleStream::Err), "ORMA_Client: link lost, trying again every 300 ms\n");
    EXPECT_EQ(ORMA_Cli_Send(0xAA, Bytes{0x03}.data(), 1, soon()), 0);
    EXPECT_EQ(peer_reads(4), framed(0xAA, {0x03}));
    send(framed(0xAA, {0x83}));
    ASSERT_TRUE(first_gets(2));
    EXPECT_EQ(got(0).back(), Bytes{0x83});
    EXPECT_EQ(got(1), (std::vector<Bytes>{LINK_DOWN, LINK_UP}));
}

// A stop ends an attempt that waits for its peer (a listener whose backlog is full never
// answers), and a wait between attempts, at once.
TEST_F(LinkClientTest, StopDuringAnAttemptIsQuick)
{
    start();
    drop(peer_);
    drop(listener_);
    ASSERT_TRUE(wait_until([] { return events() == "lost down "; })) << events();
    for (const bool waiting_peer : {false, true}) {
        std::vector<testsock::Socket> queued;
        if (waiting_peer) {
            ORMA_Cli_Stop();
            listener_ = testsock::listen_loopback(&port_, 0);
            ASSERT_NE(listener_, testsock::NONE);
            for (int i = 0; i < 4; ++i) // the backlog fills: later connections get no answer
                queued.push_back(testsock::connect_loopback(port_));
            ORMA_Cli_Start();
        }
        std::this_thread::sleep_for(700ms);
        const auto begin = Clock::now();
        EXPECT_EQ(ORMA_Cli_Stop(), 0);
        EXPECT_LT(Clock::now() - begin, 200ms) << (waiting_peer ? "while connecting" : "between attempts");
        for (const auto q : queued)
            testsock::close(q);
    }
}

// Several threads send all the time while the peer drops the connection again and again and
// the link is stopped and started anew: no send may use a table being replaced or a socket being
// closed (the ThreadSanitizer lane reports it), and every link comes back.
TEST_F(LinkClientTest, SendsFromSeveralThreadsWhileTheLinkFailsAndIsReplaced)
{
    start();
    std::atomic<bool> go{true};
    std::atomic<long> refused{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t)
        senders.emplace_back([&] {
            const uint8_t message[] = {0x01, 0x02};
            while (go) {
                if (ORMA_Cli_Send(0xAA, message, 2, soon()) != 0)
                    ++refused;
                std::this_thread::sleep_for(1ms);
            }
        });
    int came_back = 0;
    for (int round = 0; round < 6; ++round) {
        if (round % 3 == 2) { // replaced: a new start on a new listener
            ORMA_Cli_Stop();
            testsock::close(peer_);
            testsock::close(listener_);
            listener_ = testsock::listen_loopback(&port_);
            configure(port_);
            ORMA_Cli_Start();
        } else { // dropped: the link comes back by itself
            testsock::close(peer_);
        }
        peer_ = testsock::accept_one(listener_, 3000);
        came_back += peer_ != testsock::NONE;
        std::this_thread::sleep_for(50ms);
    }
    go = false;
    for (auto& s : senders)
        s.join();
    EXPECT_EQ(came_back, 6);
    EXPECT_GT(refused, 0) << "no send met a link that was down";
}

// A transport whose connections complete when the test lets them: the first `failing` opens fail
// at once, open number n waits until `let_go` reaches n (5 s at most, then fails). A read waits
// for a wake (5 s at most, well under the stop's 10 s); the opens and closes are counted.
// Kept for the whole run: a receive thread that a faulty stop gave up may still use it.
struct HeldLink {
    std::mutex lock;
    std::condition_variable changed;
    int failing = 0;
    int let_go = 0;
    int opens = 0; // entered
    int opened = 0; // returned LINK_OK
    int closes = 0;
    bool woken = false; // from a wake to the next close

    LinkOps ops(int fail, int released)
    {
        std::lock_guard hold(lock);
        failing = fail;
        let_go = released;
        opens = opened = closes = 0;
        woken = false;
        return LinkOps{this, open, close, write, read, nullptr, wake};
    }
    template <typename Condition>
    bool wait(Condition condition)
    {
        std::unique_lock hold(lock);
        return changed.wait_for(hold, 5s, condition);
    }
    void release(int n)
    {
        std::lock_guard hold(lock);
        let_go = n;
        changed.notify_all();
    }
    static HeldLink& of(void* context) { return *static_cast<HeldLink*>(context); }
    static int open(void* context)
    {
        HeldLink& link = of(context);
        std::unique_lock hold(link.lock);
        const int n = ++link.opens;
        link.changed.notify_all();
        if (n <= link.failing || !link.changed.wait_for(hold, 5s, [&] { return link.let_go >= n; }))
            return LINK_FAILED;
        ++link.opened; // even after a wake: the connection completed just as the stop came
        return LINK_OK;
    }
    static int close(void* context)
    {
        HeldLink& link = of(context);
        std::lock_guard hold(link.lock);
        ++link.closes;
        link.woken = false;
        return LINK_OK;
    }
    static int wake(void* context)
    {
        HeldLink& link = of(context);
        std::lock_guard hold(link.lock);
        link.woken = true;
        link.changed.notify_all();
        return 0;
    }
    static int read(void* context, uint8_t*, int)
    {
        HeldLink& link = of(context);
        std::unique_lock hold(link.lock);
        link.changed.wait_for(hold, 5s, [&] { return link.woken; });
        return LINK_FAILED;
    }
    static int write(void*, const uint8_t*, int, int) { return LINK_FAILED; }
};

// Every open that gave LINK_OK has had exactly one close by the time the stop returns, whether
// the link came up at the start, on the receive thread before the stop, or on the receive thread
// just after the stop had woken the open and found no open link to close.
TEST_F(LinkClientTest, EveryLinkThatOpenedIsClosedOnceByTheTimeTheStopReturns)
{
    struct Case {
        const char* name;
        bool start_opens;      // the start's own open succeeds
        bool stop_during_open; // else the thread's open completes before the stop
    };
    const Case cases[] = {
        {"opened by the start", true, false},
        {"opened by the thread, then stopped", false, false},
        {"opened by the thread just after the stop's wake", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        static HeldLink link;
        LinkConfig config{};
        config.type = LINK_CUSTOM;
        config.custom = link.ops(c.start_opens ? 0 : 1, c.start_opens ? 1 : 0);
        ORMA_Cli_Configure(&config);
        ORMA_Cli_SetCallbacks(on_message<0>, on_message<1>);
        forget_received();
        EXPECT_EQ(ORMA_Cli_Start(), c.start_opens ? 0 : -1);
        if (!c.start_opens) {
            EXPECT_TRUE(link.wait([&] { return link.opens == 2; })) << "the thread did not open again";
            if (!c.stop_during_open) {
                link.release(2);
                EXPECT_TRUE(wait_until([] { return events() == "down up "; })) << events();
            }
        }
        console_.clear();
        int opened = -1;
        int closed = -1;
        Clock::duration took{};
        std::atomic<bool> stopped{false};
        std::thread stopper([&] {
            const auto begin = Clock::now();
            EXPECT_EQ(ORMA_Cli_Stop(), 0);
            took = Clock::now() - begin;
            std::lock_guard hold(link.lock);
            opened = link.opened;
            closed = link.closes;
            stopped = true;
        });
        if (c.stop_during_open) {
            EXPECT_TRUE(link.wait([&] { return link.woken; })) << "the stop did not wake the open";
            // The stop waits for the thread, whose open has not yet given its result.
            EXPECT_FALSE(wait_until([&] { return stopped.load(); }, 200ms)) << "the stop left the open behind";
            link.release(2);
        }
        stopper.join();
        EXPECT_EQ(opened, 1);
        EXPECT_EQ(closed, 1);
        EXPECT_LT(took, 2s);
        EXPECT_TRUE(console_.has(ConsoleStream::Err, "ORMA_Cli_Stop: ReceiveThread terminated\n"));
    }
}

} // namespace
