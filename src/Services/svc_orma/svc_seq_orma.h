// The message sequencer: the receive list for the host, the send list for the link, and the
// link's send function through which queued records leave strictly in order, one at a time.
#pragma once

#include "Services/svc_orma/svc_orma.h"

#include <cstdint>

// The link's send operation: 1 when the record is done with (sent or dropped), any other
// value when it stays first in the send list.
using SendFunction = int32_t (*)(uint32_t context, SvcMsg* record);

struct SvcSeq {
    SvcMsg* rx_list;
    SvcMsg* tx_list;
    SendFunction send_fn;
    uint32_t send_ctx;
    uint16_t busy; // 1 while send_fn runs: refuses re-entrant sending
};

SvcSeq* svc_seq_create();
void svc_seq_destroy(SvcSeq* seq);
int svc_seq_set_send_function(SvcSeq* seq, SendFunction fn, uint32_t context);
int svc_seq_store_received(SvcSeq* seq, const uint8_t* bytes, uint16_t length);
int svc_seq_send(SvcSeq* seq, SvcMsg* record);
int svc_seq_send_next(SvcSeq* seq);
// Whether a record waits in the transmit list.
bool svc_seq_has_queued(SvcSeq* seq);
SvcMsg* svc_seq_peek_received(SvcSeq* seq);
int32_t svc_seq_null_send(uint32_t context, SvcMsg* record);
