#include "Services/svc_orma/svc_seq_orma.h"

#include "support/sem.h"

#include "support/heap.h"

SvcSeq* svc_seq_create()
{
    PRE_ALLOC();
    auto* seq = static_cast<SvcSeq*>(Heap_Alloc(sizeof(SvcSeq)));
    if (!seq)
        return nullptr;
    seq->rx_list = nullptr;
    seq->tx_list = nullptr;
    seq->send_fn = svc_seq_null_send;
    seq->send_ctx = 0;
    seq->busy = 0;
    return seq;
}

void svc_seq_destroy(SvcSeq* seq)
{
    if (!seq)
        return;
    seq->rx_list = svc_list_free(seq->rx_list);
    seq->tx_list = svc_list_free(seq->tx_list);
    Heap_Free(seq);
}

int svc_seq_set_send_function(SvcSeq* seq, SendFunction fn, uint32_t context)
{
    seq->send_fn = fn;
    seq->send_ctx = context;
    return 1;
}

int svc_seq_store_received(SvcSeq* seq, const uint8_t* bytes, uint16_t length)
{
    if (!seq || length == 0)
        return 0;
    svc_list_append(&seq->rx_list, svc_msg_create(bytes[0], bytes + 1, static_cast<uint16_t>(length - 1)));
    return 1;
}

int svc_seq_send(SvcSeq* seq, SvcMsg* record)
{
    if (!seq)
        return 0;
    if (svc_list_count(record) > 0)
        svc_list_append(&seq->tx_list, record);
    return svc_seq_send_next(seq);
}

bool svc_seq_has_queued(SvcSeq* seq)
{
    if (!seq)
        return false;
    Sem_Wait(SEM_MSG_LISTS);
    const bool queued = seq->tx_list != nullptr;
    Sem_Release(SEM_MSG_LISTS);
    return queued;
}

int svc_seq_send_next(SvcSeq* seq)
{
    if (!seq || seq->busy == 1)
        return 0;
    // Records may be appended from other threads (under the list lock) while one is sent: the
    // head is read under the lock; only the send itself, which is serialized, takes it off.
    Sem_Wait(SEM_MSG_LISTS);
    SvcMsg* const first = seq->tx_list;
    Sem_Release(SEM_MSG_LISTS);
    if (!first)
        return 0;
    seq->busy = 1;
    if (seq->send_fn(seq->send_ctx, first) == 1) {
        svc_list_pop(&seq->tx_list);
        seq->busy = 0;
        return 1;
    }
    seq->busy = 0;
    return 0;
}

SvcMsg* svc_seq_peek_received(SvcSeq* seq)
{
    return seq ? seq->rx_list : nullptr;
}

int32_t svc_seq_null_send(uint32_t, SvcMsg*)
{
    return 1;
}
