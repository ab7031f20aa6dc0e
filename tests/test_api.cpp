// The exports: sequencer hand-over, com state flow control, receive callbacks, polling and
// lifecycle. Mode 0 has no link: a recording send function stands in for it.
#include "ORMA_DLL.h"
#include "api/receive_callbacks.h"
#include "support/heap.h"
#include "test_support.h"

#include <gtest/gtest.h>

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

TEST_F(ApiTest, NotificationsArePrunedUntilTheFirstPoll)
{
    init(2);
    arrive(OnResponse, {0x81});
    arrive(OnNotification, {0xC1}); // the oldest (the response) makes way
    arrive(OnNotification, {0xC2});
    arrive(OnResponse, {0x82});
    arrive(OnResponse, {0x83}); // responses pile up
    arrive(OnNotification, {0xC3});
    EXPECT_EQ(receive_all(), (std::vector<Bytes>{{0x82}, {0x83}, {0xC3}}));
    arrive(OnNotification, {0xC4});
    EXPECT_EQ(receive_all(), (std::vector<Bytes>{{0xC4}}));
}

// The first Receive_Message counts as a poll also on an empty list and without a buffer.
TEST_F(ApiTest, FirstPollCountsAlsoWhenNothingIsTaken)
{
    for (const bool with_buffer : {true, false}) {
        init(2);
        uint8_t buf[255], len = 0;
        EXPECT_EQ(ORMA_DLL_Receive_Message(with_buffer ? buf : nullptr, &len), 1);
        arrive(OnNotification, {0xC1});
        EXPECT_EQ(receive_all(), std::vector<Bytes>{{0xC1}}) << (with_buffer ? "empty list" : "no buffer");
    }
}

// After an Exit, and when the tracking heap cannot make the sequencer (Init still returns 0),
// every call returns 1 and a late message is dropped.
TEST_F(ApiTest, ExitReleasesEverythingAndLaterCallsDoNothing)
{
    init(2);
    send({0x01});
    send({0x02}); // still queued
    arrive(OnResponse, {0x81});
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
TEST(InitWait, TwoSecondsInTheUsbModesOnly)
{
    for (const int32_t mode : {0, 3, 4, 5}) {
        const auto begin = std::chrono::steady_clock::now();
        ASSERT_EQ(ORMA_DLL_Init(mode, 1, 0, nullptr), 0);
        const auto took = std::chrono::steady_clock::now() - begin;
        ORMA_DLL_Exit();
        const auto wait = HAS_USB && (mode == 3 || mode == 4) ? 2000ms : 0ms;
        EXPECT_GE(took, wait) << "mode " << mode;
        EXPECT_LT(took, wait + 500ms) << "mode " << mode;
    }
}

} // namespace
