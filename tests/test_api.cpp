// The exports: sequencer hand-over, com state flow control, receive callbacks, polling and
// lifecycle. Mode 0 has no link: a recording send function stands in for it.
#include "ORMA_DLL.h"
#include "api/flight.h"
#include "api/receive_callbacks.h"
#include "api/receive_list.h"
#include "api/session.h"
#include "support/message.h"
#include "log_test_support.h"
#include "support/heap.h"
#include "support/options.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::vector<Bytes> g_sent;

int32_t record_send(uint32_t, SvcMsg* m)
{
    g_sent.emplace_back(m->data, m->data + m->length);
    return 1;
}

const SendFunction REFUSE = [](uint32_t, SvcMsg*) -> int32_t { return 0; };
// A module so fast that its response arrives while the host's thread is still in the send.
const SendFunction ANSWER_AT_ONCE = [](uint32_t, SvcMsg* m) -> int32_t {
    OnResponse(Bytes{0x81}.data(), 1);
    return record_send(0, m);
};

class ApiTest : public ::testing::Test {
protected:
    void SetUp() override { g_sent.clear(); }
    void TearDown() override
    {
        ORMA_DLL_Exit();
        EXPECT_EQ(g_orma.seq.load(), nullptr);
    }
    static void init(int32_t protocol, ORMA_DLL_ReceiveCallback cb = nullptr)
    {
        ASSERT_EQ(ORMA_DLL_Init(0, protocol, 0, cb), 0);
        use(record_send);
    }
    static void use(SendFunction fn) { svc_seq_set_send_function(g_orma.seq, fn, 0); }
    static int32_t send(Bytes m) { return ORMA_DLL_Send_Message(m.data(), static_cast<uint8_t>(m.size())); }
    static std::vector<Bytes> receive_all()
    {
        std::vector<Bytes> all;
        uint8_t buf[255], len = 0xEE;
        while (ORMA_DLL_Receive_Message(buf, &len) == 0)
            all.emplace_back(buf, buf + len);
        EXPECT_EQ(len, 0);
        return all;
    }
    static int32_t arrive(ReceiveCallback cb, Bytes m) { return cb(m.data(), static_cast<int32_t>(m.size())); }
    FaultRecorder faults_;
};

TEST_F(ApiTest, BadArgumentsAreRefusedAndWholeMessagesComeOutInOrder)
{
    init(2);
    EXPECT_EQ(ORMA_DLL_Send_Message(nullptr, 1), 1);
    EXPECT_EQ(send({}), 1);
    EXPECT_TRUE(g_sent.empty());
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    uint8_t buf[255], len = 9;
    EXPECT_EQ(ORMA_DLL_Receive_Message(nullptr, &len), 1);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(ORMA_DLL_Receive_Message(buf, nullptr), 1);
    Bytes big(255);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(0x80 + i);
    arrive(OnResponse, big);
    arrive(OnResponse, {0x90, 1});
    EXPECT_EQ(receive_all(), (std::vector<Bytes>{big, {0x90, 1}}));
}

TEST_F(ApiTest, ComStateNeverStaysClosedWithoutACommandInFlight)
{
    init(2);
    use(REFUSE);
    send({0x01}); // refused: stays queued, and nothing awaits a response
    ORMA_DLL_Loop();
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    EXPECT_EQ(svc_list_count(g_orma.seq.load()->tx_list), 1);
    // A response during the send is not overwritten by the closing of the com state.
    use(ANSWER_AT_ONCE);
    ORMA_DLL_Loop();
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    send({0x02}); // goes out at once
    EXPECT_EQ(g_sent, (std::vector<Bytes>{{0x01}, {0x02}}));
}

TEST_F(ApiTest, OtherProtocolsSendAtOnceAndLeaveComStateAlone)
{
    init(1);
    send({0x01});
    send({0x02});
    EXPECT_EQ(g_sent.size(), 2u);
    // A record that the link refused waits; Loop hands it over and closes the com state.
    use(REFUSE);
    send({0x03});
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    use(record_send);
    ORMA_DLL_Loop();
    EXPECT_EQ(g_sent.back(), Bytes{0x03});
    EXPECT_EQ(ORMA_DLL_getComState(), 0);
}

// Before the first poll each notification makes the oldest stored notification go (perhaps
// itself); responses stay, also the one to a command sent while notifications pour in.
TEST_F(ApiTest, NotificationsArePrunedUntilTheFirstPollButNeverAResponse)
{
    init(2);
    send({0x01});
    arrive(OnResponse, {0x81});
    arrive(OnNotification, {0xC1});
    arrive(OnNotification, {0xC2});
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    arrive(OnResponse, {0x82});
    arrive(OnResponse, {0x83}); // responses pile up
    arrive(OnNotification, {0xC3});
    EXPECT_EQ(receive_all(), (std::vector<Bytes>{{0x81}, {0x82}, {0x83}}));
    arrive(OnNotification, {0xC4});
    EXPECT_EQ(receive_all(), (std::vector<Bytes>{{0xC4}}));
}

// A full heap table: an arriving response takes the place of the oldest stored notification; with
// none to give way, the command in flight is answered 0x85 from a record kept for it, so that a
// polling host is never left waiting. A send that cannot be queued says so.
// The "no answer" kept for a full table is the command in flight's: a late response that finds
// the table full while nothing is in flight is dropped, and makes no 0x85.
TEST_F(ApiTest, LateResponseAtAFullTableWithNothingInFlightMakesNo85)
{
    init(2);
    StdoutCapture report; // the full table's report
    report.start();
    receive_all();
    send({0x01}); // in flight: its "no answer" is kept ready
    arrive(OnResponse, {0x81});
    while (Heap_LiveCount() < HEAP_TABLE_SIZE)
        receive_list_store(g_orma.seq, Bytes{0x90}.data(), 1);
    arrive(OnResponse, {0x82}); // late: no room, nothing in flight
    report.stop();
    const auto all = receive_all();
    EXPECT_EQ(std::count(all.begin(), all.end(), Bytes{MSG_NO_ANSWER}), 0);
}

TEST_F(ApiTest, FullTableGivesWayToResponses)
{
    for (const bool notifications : {true, false}) {
        init(2);
        StdoutCapture report; // the full table's report
        report.start();
        receive_all(); // polled: notifications are kept from now on
        send({0x01});  // in flight
        for (int i = 0; notifications && arrive(OnNotification, {0xC0, static_cast<uint8_t>(i), 0}) == 0; ++i) {
        }
        while (!notifications && Heap_LiveCount() < HEAP_TABLE_SIZE) // responses the host has not taken
            receive_list_store(g_orma.seq, Bytes{0x90}.data(), 1);
        ASSERT_EQ(Heap_LiveCount(), HEAP_TABLE_SIZE);
        EXPECT_EQ(send({0x02}), 1) << "a message that could not be queued";
        report.stop();
        EXPECT_EQ(faults_.faults().at(0).text, "too much heap objects");
        arrive(OnResponse, {0x81, 0x01});
        EXPECT_EQ(ORMA_DLL_getComState(), 1);
        const auto all = receive_all();
        ASSERT_FALSE(all.empty());
        if (notifications) {
            EXPECT_EQ(all.front(), (Bytes{0xC0, 1, 0})) << "the oldest notification gives way";
            EXPECT_EQ(all.back(), (Bytes{0x81, 0x01}));
        } else {
            EXPECT_EQ(all.back(), Bytes{MSG_NO_ANSWER});
        }
        EXPECT_EQ(g_sent, std::vector<Bytes>{{0x01}});
        ORMA_DLL_Exit();
        g_sent.clear();
        faults_.clear();
    }
}

// The library's configuration file in the current folder while the object lives.
class IniFile {
public:
    explicit IniFile(const std::string& content) { write_file("ORMA_DLL_Log.ini", content); }
    ~IniFile() { remove_file("ORMA_DLL_Log.ini"); }
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;
};

std::string link_section(unsigned timeout_ms)
{
    return "[ORMA_LINK]\nResponseTimeout = " + std::to_string(timeout_ms) + "\n";
}

// What reached the host's callback.
std::mutex g_got_lock;
std::vector<Bytes> g_got;
int32_t ORMA_DLL_CALL collect(const uint8_t* m, int32_t length)
{
    const std::lock_guard hold(g_got_lock);
    g_got.emplace_back(m, m + length);
    return 0;
}
std::vector<Bytes> collected()
{
    const std::lock_guard hold(g_got_lock);
    return g_got;
}

// The host sees its messages either through the callback or by polling; nothing else is called
// (in particular not ORMA_DLL_Loop).
struct Host {
    explicit Host(bool with_callback) : callback(with_callback) {}
    bool callback;
    std::vector<Bytes> taken;
    void start(int32_t protocol = 2)
    {
        {
            const std::lock_guard hold(g_got_lock);
            g_got.clear();
        }
        ASSERT_EQ(ORMA_DLL_Init(0, protocol, 0, callback ? collect : nullptr), 0);
    }
    // Everything that arrived so far, in order.
    std::vector<Bytes> got()
    {
        if (callback)
            return collected();
        uint8_t buf[255], len = 0;
        while (ORMA_DLL_Receive_Message(buf, &len) == 0)
            taken.emplace_back(buf, buf + len);
        return taken;
    }
    bool gets(size_t count, std::chrono::milliseconds within)
    {
        return wait_until([&] { return got().size() >= count; }, within);
    }
};

const Bytes NO_ANSWER{MSG_NO_ANSWER};

// A command that gets no response is answered 0x85 once its deadline has passed, logged like
// any response, also for a host that only watches the com state. A response after the deadline
// is handed on; one before it leaves no 0x85 behind.
TEST_F(ApiTest, DeadlineAnswersACommandWithoutResponse)
{
    const IniFile ini(link_section(150) + "[ORMA_GENERAL]\nLogging = ALL\nFile = deadline_log.txt\n");
    for (Host host : {Host(false), Host(true)}) {
        SCOPED_TRACE(host.callback ? "callback" : "polling");
        host.start();
        const auto begin = std::chrono::steady_clock::now();
        ASSERT_EQ(send({0x01}), 0);
        ASSERT_TRUE(wait_until([] { return ORMA_DLL_getComState() == 1; }, 5s));
        EXPECT_GE(std::chrono::steady_clock::now() - begin, 150ms);
        EXPECT_TRUE(host.gets(1, 1s));
        EXPECT_EQ(host.got(), std::vector<Bytes>{NO_ANSWER});

        arrive(host.callback ? ForwardToHost : OnResponse, {0x81}); // the late response
        EXPECT_EQ(ORMA_DLL_getComState(), 1);
        ASSERT_EQ(send({0x02}), 0);
        arrive(host.callback ? ForwardToHost : OnResponse, {0x82});
        EXPECT_FALSE(host.gets(4, 400ms)) << "a second 0x85";
        EXPECT_EQ(host.got(), (std::vector<Bytes>{NO_ANSWER, {0x81}, {0x82}}));
        EXPECT_EQ(ORMA_DLL_getComState(), 1);
        ORMA_DLL_Exit();
        EXPECT_NE(read_text_file("deadline_log.txt").find(log_line(NO_ANSWER) + log_line({0x81})), std::string::npos);
    }
}

// ResponseTimeout = 0 gives back the plain behaviour: the command waits for its response.
TEST_F(ApiTest, ResponseTimeoutZeroWaitsForever)
{
    const IniFile ini(link_section(0));
    Host host(false);
    host.start();
    send({0x01});
    EXPECT_FALSE(wait_until([] { return ORMA_DLL_getComState() == 1; }, 1000ms));
    EXPECT_TRUE(host.got().empty());
    arrive(OnResponse, {0x81});
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
}

// A failed link answers the command really in flight at once, exactly once: not one that was
// answered already, not one the link refused, and one that was being sent as soon as the send
// is over. The deadline never adds a second 0x85.
TEST_F(ApiTest, LinkLostAnswersTheCommandInFlightOnce)
{
    // "At once" is well within the deadline; "never twice" is checked past it.
    const IniFile ini(link_section(2000));
    static const SendFunction LOST_WHILE_SENDING = [](uint32_t, SvcMsg* m) -> int32_t {
        OnLinkLost();
        return record_send(0, m);
    };
    static const SendFunction ANSWERED_WHILE_SENDING = [](uint32_t, SvcMsg* m) -> int32_t {
        (g_orma.host_callback ? ForwardToHost : OnResponse)(Bytes{0x81}.data(), 1);
        return record_send(0, m);
    };
    static const SendFunction LOST_AND_REFUSED = [](uint32_t, SvcMsg*) -> int32_t {
        OnLinkLost();
        return 0;
    };
    struct Case {
        const char* name;
        SendFunction send_fn;
        bool lost_after_send;
        size_t no_answers;
    } const cases[] = {
        {"in flight", record_send, true, 1},
        {"answered during the send", ANSWERED_WHILE_SENDING, true, 0},
        {"lost while sending", LOST_WHILE_SENDING, false, 1},
        {"lost, and the link refused", LOST_AND_REFUSED, false, 0},
    };
    for (const Case& c : cases) {
        for (Host host : {Host(false), Host(true)}) {
            SCOPED_TRACE(std::string(c.name) + (host.callback ? ", callback" : ", polling"));
            host.start();
            OnLinkLost(); // nothing in flight
            use(c.send_fn);
            send({0x01});
            if (c.lost_after_send) {
                OnLinkLost();
                OnLinkLost();
                if (c.no_answers) { // at once, on the link's thread
                    EXPECT_EQ(host.got(), std::vector<Bytes>{NO_ANSWER});
                }
            }
            const size_t others = c.send_fn == ANSWERED_WHILE_SENDING ? 1 : 0;
            EXPECT_TRUE(host.gets(c.no_answers + others, 1500ms));
            EXPECT_FALSE(host.gets(c.no_answers + others + 1, c.no_answers ? 2300ms : 500ms)) << "a second answer";
            const auto got = host.got();
            EXPECT_EQ(std::count(got.begin(), got.end(), NO_ANSWER), static_cast<long>(c.no_answers));
            EXPECT_EQ(ORMA_DLL_getComState(), 1);
            ORMA_DLL_Exit();
        }
    }
}

// Two threads start and stop the library over and over while eight threads send, receive and
// poll; the deadline (1 ms) answers the commands from its own thread. Nothing may leak (the
// LeakSanitizer lane), race (the ThreadSanitizer lane) or be left over in the heap table.
TEST(Lifecycle, StartAndStopFromTwoThreadsWhileEightSend)
{
    const IniFile ini(link_section(1));
    FaultRecorder faults;
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 8; ++t)
        senders.emplace_back([&, t] {
            uint8_t buf[255], len;
            const Bytes m{static_cast<uint8_t>(t), 0x42};
            while (!stop) {
                if (ORMA_DLL_getComState() == 1)
                    ORMA_DLL_Send_Message(m.data(), static_cast<uint8_t>(m.size()));
                ORMA_DLL_Loop();
                if (ORMA_DLL_Receive_Message(buf, &len) != 0)
                    std::this_thread::sleep_for(100us); // a host's idle poll
                else if (len == 1 && buf[0] == MSG_NO_ANSWER)
                    ++answered;
            }
        });
    std::vector<std::thread> starters;
    for (int t = 0; t < 2; ++t)
        starters.emplace_back([t] {
            for (int i = 0; i < 60; ++i) {
                ORMA_DLL_Init(0, 2, 0, (i + t) % 2 ? collect : nullptr);
                std::this_thread::yield();
                ORMA_DLL_Exit();
            }
        });
    for (auto& s : starters)
        s.join();
    // A last start: the senders' commands are answered by the deadline.
    ORMA_DLL_Init(0, 2, 0, nullptr);
    const bool flowing = wait_until([&] { return answered > 0; }, 10s);
    stop = true;
    for (auto& s : senders)
        s.join();
    EXPECT_TRUE(flowing);
    ORMA_DLL_Exit();
    EXPECT_EQ(Heap_LiveCount(), 0);
    for (const auto& f : faults.faults())
        EXPECT_EQ(f.text, "too much heap objects") << "unexpected fault box";
}

// The first Receive_Message counts as a poll also without a buffer (ComProtocol polls with one).
TEST_F(ApiTest, FirstPollCountsAlsoWhenNothingIsTaken)
{
    init(2);
    uint8_t len = 0;
    EXPECT_EQ(ORMA_DLL_Receive_Message(nullptr, &len), 1);
    arrive(OnNotification, {0xC1});
    EXPECT_EQ(receive_all(), std::vector<Bytes>{{0xC1}});
}

// After an Exit, and when the tracking heap cannot make the sequencer (Init still returns 0),
// every call returns 1 and a late message is dropped.
TEST_F(ApiTest, ExitReleasesEverythingAndLaterCallsDoNothing)
{
    // Two commands in a row: the response sends the second (SendQueued = ON), without
    // ORMA_DLL_Loop, for a polling host and for one with a callback alike.
    for (const ORMA_DLL_ReceiveCallback cb : {ORMA_DLL_ReceiveCallback{}, collect}) {
        init(2, cb);
        g_sent.clear();
        send({0x01});
        send({0x02});
        arrive(cb ? ForwardToHost : OnResponse, {0x81});
        EXPECT_EQ(g_sent, (std::vector<Bytes>{{0x01}, {0x02}})) << (cb ? "callback" : "polling");
    }
    ORMA_DLL_Init(0, 1, 0, nullptr); // a second start stops the first
    EXPECT_EQ(Heap_LiveCount(), 1);  // only the new sequencer
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    for (const bool sequencer_fails : {false, true}) {
        if (sequencer_fails) {
            heap_set_system_alloc([](size_t) -> void* { return nullptr; });
            EXPECT_EQ(ORMA_DLL_Init(0, 2, 0, nullptr), 0);
            heap_set_system_alloc(nullptr);
            EXPECT_EQ(faults_.faults().at(0).text, "out of heap");
        } else {
            EXPECT_EQ(ORMA_DLL_Exit(), 0);
            EXPECT_EQ(Heap_LiveCount(), 0);
            EXPECT_EQ(faults_.count(), 0u);
        }
        EXPECT_EQ(send({0x01}), 1);
        EXPECT_TRUE(receive_all().empty());
        EXPECT_EQ(ORMA_DLL_Loop(), 1);
        EXPECT_EQ(arrive(OnResponse, {0x81}), 1);
        EXPECT_EQ(arrive(OnNotification, {0xC1}), 1);
    }
}

#ifdef _WIN32
constexpr bool HAS_USB = true;
#else
constexpr bool HAS_USB = false; // modes 3 and 4 need Windows: elsewhere they are as any other mode
#endif

// The start waits 2000 ms in modes 3 and 4, also when no link is started (as here), and not at
// all outside modes 1 to 4. Modes 1 and 2 are timed by the end-to-end tests.
// StartWait = FIXED waits the USB modes' 2000 ms (on Windows); READY waits for no link that is not
// started (protocol 1 without a callback hears nothing: no USB link).
TEST(InitWait, TwoSecondsInTheUsbModesOnlyWhenFixed)
{
    for (const bool fixed : {true, false}) {
        const IniFile ini(fixed ? "[ORMA_LINK]\nStartWait = FIXED\n" : "");
        for (const int32_t mode : {0, 3, 4, 5}) {
            const auto begin = std::chrono::steady_clock::now();
            ASSERT_EQ(ORMA_DLL_Init(mode, 1, 0, nullptr), 0);
            const auto took = std::chrono::steady_clock::now() - begin;
            ORMA_DLL_Exit();
            const auto wait = fixed && HAS_USB && (mode == 3 || mode == 4) ? 2000ms : 0ms;
            EXPECT_GE(took, wait) << "mode " << mode;
            EXPECT_LT(took, wait + 500ms) << "mode " << mode;
        }
    }
}

} // namespace
