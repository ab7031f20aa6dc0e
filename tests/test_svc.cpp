// Message records, lists and the sequencer.
#include "Services/svc_orma/svc_seq_orma.h"
#include "support/heap.h"
#include "support/sem.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

Bytes codes_of(const SvcMsg* list)
{
    Bytes out;
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

// The send function: records the codes it is given, answers from a script (1 once it runs out),
// and tries to send from inside itself when asked to.
struct Script {
    Bytes sent;
    std::vector<int32_t> answers;
    SvcSeq* reenter = nullptr;
    int reentry_result = -1;
} g_script;

int32_t scripted_send(uint32_t context, SvcMsg* m)
{
    EXPECT_EQ(context, 77u);
    g_script.sent.push_back(m->data[0]);
    if (g_script.reenter)
        g_script.reentry_result = svc_seq_send_next(g_script.reenter);
    const int32_t answer = g_script.answers.empty() ? 1 : g_script.answers.front();
    if (!g_script.answers.empty())
        g_script.answers.erase(g_script.answers.begin());
    return answer;
}

class SvcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Sem_CreateAll();
        Heap_Init();
        g_script = Script{};
        svc_seq_set_send_function(seq_ = svc_seq_create(), scripted_send, 77);
    }
    void TearDown() override
    {
        svc_seq_destroy(seq_);
        EXPECT_EQ(Heap_LiveCount(), 0) << "records leaked";
        EXPECT_EQ(faults_.count(), 0u);
        Sem_CloseAll();
    }
    FaultRecorder faults_;
    SvcSeq* seq_ = nullptr;
};

TEST_F(SvcTest, RecordsAndListsKeepTheirBytesAndOrder)
{
    SvcMsg* list = svc_msg_create(0x40, Bytes{1, 2, 3}.data(), 3);
    EXPECT_EQ(Bytes(list->data, list->data + list->length), (Bytes{0x40, 1, 2, 3}));
    EXPECT_EQ(std::string(Heap_Table()[1].file, 13), "/svc_orma.cpp"); // one tracked block each
    SvcMsg* sized[] = {svc_msg_create(0x82, nullptr, 5), svc_msg_create(0x83, Bytes{9}.data(), 0)};
    EXPECT_EQ(sized[0]->length, 6); // nothing copied
    EXPECT_EQ(sized[1]->length, 1);
    svc_list_append(&list, nullptr);
    svc_list_append(&list, chain({1, 2}));
    SvcMsg* three = chain({3, 4, 5});
    EXPECT_EQ(svc_list_count(three), 3);
    svc_list_append(&list, three);
    EXPECT_EQ(codes_of(list), (Bytes{0x40, 1, 2, 3, 4, 5}));
    EXPECT_EQ(svc_list_last(list)->data[0], 5);
    svc_list_pop(&list);
    SvcMsg* taken = svc_list_take(&list);
    EXPECT_EQ(codes_of(taken), Bytes{1});
    EXPECT_EQ(codes_of(list), (Bytes{2, 3, 4, 5}));
    svc_msg_free(taken);
    EXPECT_EQ(svc_list_free(list), nullptr);
    SvcMsg* empty = nullptr;
    svc_list_pop(&empty); // nothing happens
    EXPECT_EQ(svc_list_last(empty), nullptr);
    for (SvcMsg* m : sized)
        svc_msg_free(m);
}

TEST_F(SvcTest, SequencerSendsStrictlyInOrderOneAtATime)
{
    svc_list_append(&seq_->tx_list, chain({1, 2}));
    EXPECT_EQ(svc_seq_send(seq_, svc_msg_create(3, nullptr, 0)), 1); // the oldest goes first
    EXPECT_EQ(codes_of(seq_->tx_list), (Bytes{2, 3}));
    EXPECT_EQ(svc_seq_send_next(seq_), 1);
    EXPECT_EQ(svc_seq_send_next(seq_), 1);
    EXPECT_EQ(svc_seq_send_next(seq_), 0); // empty: the send function is not called
    EXPECT_EQ(g_script.sent, (Bytes{1, 2, 3}));
    EXPECT_EQ(svc_seq_send(seq_, nullptr), 0);
    EXPECT_EQ(svc_seq_send_next(nullptr), 0);

    // A refused record stays first; sending from inside the send function is refused.
    g_script.answers = {0, 2};
    EXPECT_EQ(svc_seq_send(seq_, svc_msg_create(4, nullptr, 0)), 0);
    EXPECT_EQ(svc_seq_send_next(seq_), 0); // any result but 1 keeps it
    g_script.reenter = seq_;
    EXPECT_EQ(svc_seq_send(seq_, svc_msg_create(5, nullptr, 0)), 1);
    EXPECT_EQ(g_script.reentry_result, 0);
    EXPECT_EQ(g_script.sent, (Bytes{1, 2, 3, 4, 4, 4}));
    EXPECT_EQ(codes_of(seq_->tx_list), Bytes{5});

    // Without a send function of its own a sequencer drops what it is given.
    SvcSeq* fresh = svc_seq_create();
    EXPECT_EQ(svc_seq_send(fresh, svc_msg_create(1, nullptr, 0)), 1);
    EXPECT_EQ(fresh->tx_list, nullptr);
    svc_seq_destroy(fresh);
}

TEST_F(SvcTest, ReceivedMessagesAreCopiesInArrivalOrderAndDestroyReleasesBothLists)
{
    uint8_t buf[3] = {0x81, 0x10, 0x20};
    EXPECT_EQ(svc_seq_store_received(seq_, buf, 3), 1);
    buf[0] = 0xC1;
    EXPECT_EQ(svc_seq_store_received(seq_, buf, 1), 1);
    EXPECT_EQ(svc_seq_store_received(seq_, buf, 0), 0);
    EXPECT_EQ(svc_seq_store_received(nullptr, buf, 1), 0);
    const SvcMsg* first = svc_seq_peek_received(seq_);
    EXPECT_EQ(Bytes(first->data, first->data + first->length), (Bytes{0x81, 0x10, 0x20}));
    EXPECT_EQ(codes_of(first), (Bytes{0x81, 0xC1}));
    EXPECT_EQ(svc_seq_peek_received(nullptr), nullptr);
    svc_list_append(&seq_->tx_list, chain({4, 5}));
    EXPECT_EQ(Heap_LiveCount(), 5);
    svc_seq_destroy(seq_);
    svc_seq_destroy(nullptr);
    seq_ = nullptr;
}

} // namespace
