// The exports: sequencer hand-over, com state flow control, receive callbacks, lifecycle.
// Mode 0 has no link, so every path here runs without a module.
#include "ORMA_DLL.h"
#include "api/receive_callbacks.h"
#include "support/heap.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <string>
#include <vector>

namespace {

std::vector<std::vector<uint8_t>> g_sent;
std::atomic<size_t> g_sent_count{0}; // read by the simulated module thread

int32_t record_send(uint32_t, SvcMsg* m)
{
    g_sent.emplace_back(m->data, m->data + m->length);
    ++g_sent_count;
    return 1;
}

class ApiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_sent.clear();
        g_sent_count = 0;
        std::remove("heap_dump.txt");
    }
    void TearDown() override
    {
        ORMA_DLL_Exit();
        EXPECT_EQ(g_orma.seq.load(), nullptr);
    }

    // Mode 0 with a send function that records what the link would have sent.
    void init_recording(int32_t protocol, ORMA_DLL_ReceiveCallback cb = nullptr)
    {
        ASSERT_EQ(ORMA_DLL_Init(0, protocol, 0, cb), 0);
        svc_seq_set_send_function(g_orma.seq, record_send, 0);
    }

    static int32_t send(std::vector<uint8_t> m)
    {
        return ORMA_DLL_Send_Message(m.data(), static_cast<uint8_t>(m.size()));
    }
    static int tx_count() { return svc_list_count(g_orma.seq.load()->tx_list); }
    static int rx_count() { return svc_list_count(g_orma.seq.load()->rx_list); }
    static std::vector<uint8_t> receive()
    {
        uint8_t buf[255];
        uint8_t len = 0xEE;
        if (ORMA_DLL_Receive_Message(buf, &len) != 0) {
            EXPECT_EQ(len, 0);
            return {};
        }
        return {buf, buf + len};
    }
    static void arrive(ReceiveCallback cb, std::vector<uint8_t> m) { cb(m.data(), static_cast<int32_t>(m.size())); }

    FaultRecorder faults_;
};

TEST_F(ApiTest, ModeZeroFillsTheHeapTableAndReportsIt)
{
    ASSERT_EQ(ORMA_DLL_Init(0, 2, 0, nullptr), 0);
    const uint8_t msg[] = {0x01, 0x02};
    EXPECT_EQ(ORMA_DLL_Send_Message(msg, 2), 0);
    EXPECT_EQ(ORMA_DLL_getComState(), 0);
    EXPECT_EQ(g_orma.seq.load()->tx_list, nullptr); // handed to the sequencer, dropped by mode 0
    for (int i = 0; i < 999; ++i)
        ASSERT_EQ(ORMA_DLL_Send_Message(msg, 2), 0);
    EXPECT_EQ(tx_count(), 999);
    EXPECT_EQ(Heap_LiveCount(), 1000); // the sequencer and 999 records
    EXPECT_EQ(faults_.count(), 0u);

    StdoutCapture out;
    out.start();
    EXPECT_EQ(ORMA_DLL_Send_Message(msg, 2), 0);
    out.stop();
    ASSERT_EQ(faults_.count(), 1u);
    EXPECT_EQ(faults_.faults()[0].text, "too much heap objects");
    EXPECT_EQ(tx_count(), 999); // nothing queued for the failed record

    const std::string dump = read_text_file("heap_dump.txt");
    const uint32_t record_size = static_cast<uint32_t>(sizeof(SvcMsg) + 1);
    std::string expected = "\nStill allocated Heap Objects:\n=============================";
    expected += "\nTotalSize: " + std::to_string(sizeof(SvcSeq) + 999 * record_size);
    expected += "\nMax requested heap: " + std::to_string(sizeof(SvcSeq) + 999 * record_size);
    expected += "\n" + std::to_string(sizeof(SvcSeq)) + " bytes allocated in File: /svc_seq_orma.cp at line ";
    EXPECT_EQ(dump.substr(0, expected.size()), expected);
    const std::string record_line = "\n" + std::to_string(record_size) + " bytes allocated in File: /svc_orma.cpp at line ";
    size_t lines = 0, records = 0;
    for (size_t p = dump.find(" bytes allocated in File: "); p != std::string::npos;
         p = dump.find(" bytes allocated in File: ", p + 1))
        ++lines;
    for (size_t p = dump.find(record_line); p != std::string::npos; p = dump.find(record_line, p + 1))
        ++records;
    EXPECT_EQ(lines, 1000u);
    EXPECT_EQ(records, 999u);

    ORMA_DLL_Exit();
    EXPECT_EQ(Heap_LiveCount(), 0);
}

TEST_F(ApiTest, BadArgumentsAreRefused)
{
    init_recording(2);
    const uint8_t msg[] = {0x01};
    EXPECT_EQ(ORMA_DLL_Send_Message(nullptr, 1), 1);
    EXPECT_EQ(ORMA_DLL_Send_Message(msg, 0), 1);
    EXPECT_TRUE(g_sent.empty());
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    uint8_t buf[255];
    uint8_t len = 9;
    EXPECT_EQ(ORMA_DLL_Receive_Message(nullptr, &len), 1);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(ORMA_DLL_Receive_Message(buf, nullptr), 1);
}

TEST_F(ApiTest, ComStateFollowsItsTableUnderProtocol2)
{
    init_recording(2);
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    EXPECT_EQ(ORMA_DLL_Loop(), 0); // empty send list: stays 1
    EXPECT_EQ(ORMA_DLL_getComState(), 1);

    EXPECT_EQ(send({0x01}), 0);
    EXPECT_EQ(send({0x02, 0xAB}), 0);
    EXPECT_EQ(ORMA_DLL_getComState(), 0);
    EXPECT_EQ(g_sent, (std::vector<std::vector<uint8_t>>{{0x01}}));
    EXPECT_EQ(tx_count(), 1);
    ORMA_DLL_Loop(); // no response yet: nothing goes out
    EXPECT_EQ(g_sent.size(), 1u);

    arrive(OnResponse, {0x81, 0x00});
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    EXPECT_EQ(receive(), (std::vector<uint8_t>{0x81, 0x00}));
    ORMA_DLL_Loop();
    EXPECT_EQ(ORMA_DLL_getComState(), 0);
    EXPECT_EQ(g_sent.back(), (std::vector<uint8_t>{0x02, 0xAB}));
    EXPECT_EQ(tx_count(), 0);
}

int32_t refuse_send(uint32_t, SvcMsg*)
{
    return 0;
}

TEST_F(ApiTest, OtherProtocolsSendAtOnceAndLeaveComStateAlone)
{
    init_recording(1);
    EXPECT_EQ(send({0x01}), 0);
    EXPECT_EQ(send({0x02}), 0);
    EXPECT_EQ(g_sent.size(), 2u);
    EXPECT_EQ(ORMA_DLL_getComState(), 1);

    // A record that the link refused waits; Loop hands it over and closes the com state.
    svc_seq_set_send_function(g_orma.seq, refuse_send, 0);
    EXPECT_EQ(send({0x03}), 0);
    EXPECT_EQ(tx_count(), 1);
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    svc_seq_set_send_function(g_orma.seq, record_send, 0);
    ORMA_DLL_Loop();
    EXPECT_EQ(g_sent.back(), (std::vector<uint8_t>{0x03}));
    EXPECT_EQ(ORMA_DLL_getComState(), 0);
}

TEST_F(ApiTest, ComStateNeverStaysClosedWithoutACommandInFlight)
{
    init_recording(2);
    svc_seq_set_send_function(g_orma.seq, refuse_send, 0);
    send({0x01}); // refused: stays queued, and nothing awaits a response
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    ORMA_DLL_Loop(); // refused again
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    EXPECT_EQ(tx_count(), 1);
    svc_seq_set_send_function(g_orma.seq, record_send, 0);
    ORMA_DLL_Loop();
    EXPECT_EQ(ORMA_DLL_getComState(), 0);
    EXPECT_EQ(g_sent, (std::vector<std::vector<uint8_t>>{{0x01}}));
}

TEST_F(ApiTest, NotificationsArePrunedUntilTheFirstPoll)
{
    init_recording(2);
    arrive(OnResponse, {0x81});
    arrive(OnNotification, {0xC1});
    EXPECT_EQ(rx_count(), 1); // the oldest (the response) made way
    arrive(OnNotification, {0xC2});
    arrive(OnResponse, {0x82});
    arrive(OnResponse, {0x83});
    EXPECT_EQ(rx_count(), 3); // responses pile up
    arrive(OnNotification, {0xC3});
    EXPECT_EQ(rx_count(), 3);

    EXPECT_EQ(receive(), (std::vector<uint8_t>{0x82}));
    arrive(OnNotification, {0xC4});
    arrive(OnNotification, {0xC5});
    std::vector<uint8_t> codes;
    for (auto m = receive(); !m.empty(); m = receive())
        codes.push_back(m[0]);
    EXPECT_EQ(codes, (std::vector<uint8_t>{0x83, 0xC3, 0xC4, 0xC5}));
}

TEST_F(ApiTest, ReceiveCopiesWholeMessagesInOrder)
{
    init_recording(2);
    EXPECT_TRUE(receive().empty());
    std::vector<uint8_t> big(255);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(0x80 + i);
    arrive(OnResponse, big);
    arrive(OnResponse, {0x90, 1});
    EXPECT_EQ(receive(), big);
    EXPECT_EQ(receive(), (std::vector<uint8_t>{0x90, 1}));
    EXPECT_TRUE(receive().empty());
}

std::vector<std::vector<uint8_t>> g_host_got;
int32_t host_callback(const uint8_t* m, int32_t len)
{
    g_host_got.emplace_back(m, m + len);
    return 5;
}

TEST_F(ApiTest, HostCallbackGetsEverythingAndResponsesReopenComState)
{
    g_host_got.clear();
    init_recording(2, host_callback);
    send({0x01});
    send({0x02});
    EXPECT_EQ(ORMA_DLL_getComState(), 0);
    EXPECT_EQ(ForwardToHost(std::vector<uint8_t>{0xC7}.data(), 1), 5);
    EXPECT_EQ(ORMA_DLL_getComState(), 0); // a notification does not
    arrive(ForwardToHost, {0x81, 9});
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    ORMA_DLL_Loop();
    EXPECT_EQ(g_sent.size(), 2u);
    EXPECT_EQ(g_host_got, (std::vector<std::vector<uint8_t>>{{0xC7}, {0x81, 9}}));
    EXPECT_EQ(rx_count(), 0); // nothing stored for a host with a callback
}

TEST_F(ApiTest, AfterExitNothingIsQueuedAndNothingCrashes)
{
    init_recording(2);
    send({0x01});
    send({0x02}); // still queued at exit
    arrive(OnResponse, {0x81});
    EXPECT_EQ(ORMA_DLL_Exit(), 0);
    EXPECT_EQ(Heap_LiveCount(), 0);
    EXPECT_EQ(send({0x03}), 1);
    EXPECT_TRUE(receive().empty());
    EXPECT_EQ(ORMA_DLL_Loop(), 1);
    EXPECT_EQ(OnResponse(std::vector<uint8_t>{0x81}.data(), 1), 1); // a late message is dropped
    EXPECT_EQ(OnNotification(std::vector<uint8_t>{0xC1}.data(), 1), 1);
    EXPECT_EQ(ORMA_DLL_Exit(), 0); // twice is harmless
}

TEST_F(ApiTest, SecondInitStopsTheRunningInstanceFirst)
{
    init_recording(2);
    send({0x01});
    send({0x02});
    arrive(OnResponse, {0x81});
    ORMA_DLL_Init(0, 1, 0, nullptr);
    EXPECT_EQ(Heap_LiveCount(), 1); // only the new sequencer
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    EXPECT_TRUE(receive().empty());
    EXPECT_EQ(faults_.count(), 0u);
}

// A module so fast that its response arrives while the host's thread is still in the link's
// send function.
int32_t answer_during_send(uint32_t, SvcMsg* m)
{
    g_sent.emplace_back(m->data, m->data + m->length);
    const uint8_t response[] = {0x81};
    OnResponse(response, 1);
    return 1;
}

TEST_F(ApiTest, ResponseArrivingDuringTheSendIsNotOverwritten)
{
    init_recording(2);
    svc_seq_set_send_function(g_orma.seq, answer_during_send, 0);
    send({0x01});
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
    send({0x02}); // goes out at once
    EXPECT_EQ(g_sent.size(), 2u);
    EXPECT_EQ(tx_count(), 0);

    svc_seq_set_send_function(g_orma.seq, record_send, 0);
    send({0x03});
    send({0x04}); // queued
    svc_seq_set_send_function(g_orma.seq, answer_during_send, 0);
    arrive(OnResponse, {0x82});
    ORMA_DLL_Loop();
    EXPECT_EQ(g_sent.back(), (std::vector<uint8_t>{0x04}));
    EXPECT_EQ(ORMA_DLL_getComState(), 1);
}

TEST_F(ApiTest, ResponsesFromAnotherThreadAreNeverLost)
{
    // A module thread answers every command the moment it has gone out, racing the host's
    // thread that is still inside Send_Message or Loop: no response may be overwritten by the
    // closing of the com state, or the host would wait forever.
    init_recording(2);
    constexpr size_t kCommands = 3000;
    std::atomic<size_t> answered{0};
    std::atomic<bool> stop{false};
    std::thread module([&] {
        while (!stop) {
            if (g_sent_count > answered) {
                ++answered;
                arrive(OnResponse, {0x81});
            } else {
                std::this_thread::yield();
            }
        }
    });
    size_t received = 0;
    auto drain = [&] {
        ORMA_DLL_Loop();
        uint8_t buf[255], len;
        while (ORMA_DLL_Receive_Message(buf, &len) == 0)
            ++received;
        return tx_count() == 0 && ORMA_DLL_getComState() == 1 && answered == g_sent_count;
    };
    for (size_t i = 0; i < kCommands; i += 2) {
        send({static_cast<uint8_t>(i & 0x3F)});
        send({static_cast<uint8_t>((i + 1) & 0x3F)}); // queued behind the first
        ASSERT_TRUE(wait_until(drain)) << "stalled after command " << i;
    }
    stop = true;
    module.join();
    EXPECT_EQ(received, kCommands);
    ASSERT_EQ(g_sent.size(), kCommands);
    for (size_t i = 0; i < kCommands; ++i)
        ASSERT_EQ(g_sent[i][0], i & 0x3F) << i;
}

} // namespace
