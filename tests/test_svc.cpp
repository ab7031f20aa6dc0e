// Message records, lists and the sequencer.
#include "Services/svc_orma/svc_seq_orma.h"
#include "support/heap.h"
#include "support/sem.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class SvcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Sem_CreateAll();
        Heap_Init();
    }
    void TearDown() override
    {
        EXPECT_EQ(Heap_LiveCount(), 0) << "records leaked";
        EXPECT_EQ(faults_.count(), 0u);
        Sem_CloseAll();
    }
    FaultRecorder faults_;
};

std::vector<uint8_t> bytes_of(const SvcMsg* m)
{
    return {m->data, m->data + m->length};
}

std::vector<uint8_t> codes_of(const SvcMsg* list)
{
    std::vector<uint8_t> out;
    for (; list; list = list->next)
        out.push_back(list->data[0]);
    return out;
}

SvcMsg* chain(std::initializer_list<uint8_t> codes)
{
    SvcMsg* head = nullptr;
    for (uint8_t c : codes)
        svc_list_append(&head, svc_msg_create(c, nullptr, 0));
    return head;
}

TEST_F(SvcTest, RecordHoldsCodeAndPayloadInOneTrackedBlock)
{
    const uint8_t payload[] = {1, 2, 3};
    SvcMsg* m = svc_msg_create(0x40, payload, 3);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->data, &m->code);
    EXPECT_EQ(m->length, 4);
    EXPECT_EQ(m->next, nullptr);
    EXPECT_EQ(bytes_of(m), (std::vector<uint8_t>{0x40, 1, 2, 3}));
    EXPECT_EQ(Heap_LiveCount(), 1);
    EXPECT_EQ(std::string(Heap_Table()[0].file, 13), "/svc_orma.cpp");
    svc_msg_free(m);
}

TEST_F(SvcTest, RecordWithoutPayload)
{
    SvcMsg* empty = svc_msg_create(0x81, nullptr, 0);
    EXPECT_EQ(bytes_of(empty), (std::vector<uint8_t>{0x81}));
    const uint8_t ignored[] = {9};
    SvcMsg* null_payload = svc_msg_create(0x82, nullptr, 5); // no pointer: nothing copied
    SvcMsg* zero_length = svc_msg_create(0x83, ignored, 0);
    EXPECT_EQ(null_payload->length, 6);
    EXPECT_EQ(bytes_of(zero_length), (std::vector<uint8_t>{0x83}));
    svc_msg_free(empty);
    svc_msg_free(null_payload);
    svc_msg_free(zero_length);
}

TEST_F(SvcTest, ListAppendPopCountLast)
{
    SvcMsg* list = nullptr;
    svc_list_append(&list, nullptr);
    EXPECT_EQ(list, nullptr);
    svc_list_pop(&list); // empty: nothing happens
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(svc_list_last(nullptr), nullptr);
    EXPECT_EQ(svc_list_count(nullptr), 0);

    SvcMsg* first = svc_msg_create(1, nullptr, 0);
    svc_list_append(&list, first);
    EXPECT_EQ(list, first);
    svc_list_pop(&list);
    EXPECT_EQ(list, nullptr);

    list = chain({1, 2});
    SvcMsg* three = chain({3, 4, 5});
    EXPECT_EQ(svc_list_count(three), 3);
    svc_list_append(&list, three);
    EXPECT_EQ(codes_of(list), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(svc_list_last(list)->data[0], 5);
    svc_list_pop(&list);
    EXPECT_EQ(codes_of(list), (std::vector<uint8_t>{2, 3, 4, 5}));
    SvcMsg* taken = svc_list_take(&list);
    EXPECT_EQ(taken->data[0], 2);
    EXPECT_EQ(taken->next, nullptr);
    svc_msg_free(taken);
    EXPECT_EQ(svc_list_free(list), nullptr);
}

// A send function that records what it was given and answers from a script.
struct Recorder {
    std::vector<uint8_t> sent;
    std::vector<int32_t> answers; // consumed front to back; 1 once exhausted
    SvcSeq* seq = nullptr;
    int reentry_result = -1;
};
Recorder* g_rec;

int32_t recording_send(uint32_t context, SvcMsg* m)
{
    EXPECT_EQ(context, 77u);
    g_rec->sent.push_back(m->data[0]);
    if (g_rec->seq)
        g_rec->reentry_result = svc_seq_send_next(g_rec->seq);
    if (g_rec->answers.empty())
        return 1;
    const int32_t a = g_rec->answers.front();
    g_rec->answers.erase(g_rec->answers.begin());
    return a;
}

class SeqTest : public SvcTest {
protected:
    void SetUp() override
    {
        SvcTest::SetUp();
        seq_ = svc_seq_create();
        ASSERT_NE(seq_, nullptr);
        g_rec = &rec_;
        svc_seq_set_send_function(seq_, recording_send, 77);
    }
    void TearDown() override
    {
        svc_seq_destroy(seq_);
        SvcTest::TearDown();
    }
    SvcSeq* seq_ = nullptr;
    Recorder rec_;
};

TEST_F(SeqTest, NewSequencerIsEmptyAndDropsThroughNullSend)
{
    SvcSeq* fresh = svc_seq_create();
    EXPECT_EQ(fresh->rx_list, nullptr);
    EXPECT_EQ(fresh->tx_list, nullptr);
    EXPECT_EQ(fresh->send_fn, svc_seq_null_send);
    EXPECT_EQ(fresh->busy, 0);
    EXPECT_EQ(svc_seq_send(fresh, svc_msg_create(1, nullptr, 0)), 1);
    EXPECT_EQ(fresh->tx_list, nullptr);
    svc_seq_destroy(fresh);
    svc_seq_destroy(nullptr);
}

TEST_F(SeqTest, SendsStrictlyInOrderOneAtATime)
{
    svc_list_append(&seq_->tx_list, chain({1, 2}));
    EXPECT_EQ(svc_seq_send(seq_, svc_msg_create(3, nullptr, 0)), 1);
    EXPECT_EQ(rec_.sent, (std::vector<uint8_t>{1}));
    EXPECT_EQ(codes_of(seq_->tx_list), (std::vector<uint8_t>{2, 3}));
    EXPECT_EQ(svc_seq_send_next(seq_), 1);
    EXPECT_EQ(svc_seq_send_next(seq_), 1);
    EXPECT_EQ(svc_seq_send_next(seq_), 0); // empty: the send function is not called
    EXPECT_EQ(rec_.sent, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(SeqTest, RefusedRecordStaysFirstUntilTaken)
{
    rec_.answers = {0, 2};
    EXPECT_EQ(svc_seq_send(seq_, svc_msg_create(1, nullptr, 0)), 0);
    EXPECT_EQ(codes_of(seq_->tx_list), (std::vector<uint8_t>{1}));
    EXPECT_EQ(svc_seq_send_next(seq_), 0); // any result but 1 keeps it
    EXPECT_EQ(svc_seq_send(seq_, svc_msg_create(2, nullptr, 0)), 1);
    EXPECT_EQ(rec_.sent, (std::vector<uint8_t>{1, 1, 1}));
    EXPECT_EQ(codes_of(seq_->tx_list), (std::vector<uint8_t>{2}));
    EXPECT_EQ(seq_->busy, 0);
}

TEST_F(SeqTest, SendFromInsideTheSendFunctionIsRefused)
{
    rec_.seq = seq_;
    svc_list_append(&seq_->tx_list, chain({1, 2}));
    EXPECT_EQ(svc_seq_send_next(seq_), 1);
    EXPECT_EQ(rec_.reentry_result, 0);
    EXPECT_EQ(rec_.sent, (std::vector<uint8_t>{1}));
}

TEST_F(SeqTest, NullSequencerAndNullRecord)
{
    EXPECT_EQ(svc_seq_send(nullptr, nullptr), 0);
    EXPECT_EQ(svc_seq_send_next(nullptr), 0);
    EXPECT_EQ(svc_seq_peek_received(nullptr), nullptr);
    EXPECT_EQ(svc_seq_store_received(nullptr, reinterpret_cast<const uint8_t*>("x"), 1), 0);
    EXPECT_EQ(svc_seq_send(seq_, nullptr), 0); // nothing queued, nothing to send
}

TEST_F(SeqTest, StoredMessagesAreCopiesInArrivalOrder)
{
    uint8_t buf[3] = {0x81, 0x10, 0x20};
    EXPECT_EQ(svc_seq_store_received(seq_, buf, 3), 1);
    buf[0] = 0xC1;
    EXPECT_EQ(svc_seq_store_received(seq_, buf, 1), 1);
    EXPECT_EQ(svc_seq_store_received(seq_, buf, 0), 0);
    SvcMsg* first = svc_seq_peek_received(seq_);
    EXPECT_EQ(bytes_of(first), (std::vector<uint8_t>{0x81, 0x10, 0x20}));
    EXPECT_EQ(bytes_of(first->next), (std::vector<uint8_t>{0xC1}));
    EXPECT_EQ(svc_list_count(seq_->rx_list), 2);
}

TEST_F(SeqTest, DestroyReleasesBothLists)
{
    svc_list_append(&seq_->rx_list, chain({1, 2, 3}));
    svc_list_append(&seq_->tx_list, chain({4, 5}));
    EXPECT_EQ(Heap_LiveCount(), 6);
    svc_seq_destroy(seq_);
    seq_ = nullptr;
    EXPECT_EQ(Heap_LiveCount(), 0);
}

} // namespace
