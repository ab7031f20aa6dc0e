#include "Services/svc_orma/svc_orma.h"

#include "support/heap.h"
#include "support/sem.h"

#include <cstddef>
#include <cstring>

SvcMsg* svc_msg_create(uint8_t code, const uint8_t* payload, uint16_t payload_length)
{
    PRE_ALLOC();
    auto* record = static_cast<SvcMsg*>(Heap_Alloc(static_cast<uint32_t>(sizeof(SvcMsg) + payload_length)));
    if (!record)
        return nullptr;
    record->data = &record->code;
    record->code = code;
    if (payload && payload_length > 0)
        std::memcpy(&record->code + 1, payload, payload_length);
    record->length = static_cast<uint16_t>(payload_length + 1);
    record->next = nullptr;
    return record;
}

void svc_msg_free(SvcMsg* record)
{
    Heap_Free(record);
}

void svc_list_append(SvcMsg** list, SvcMsg* record)
{
    if (!record)
        return;
    Sem_Wait(SEM_MSG_LISTS);
    if (SvcMsg* last = svc_list_last(*list))
        last->next = record;
    else
        *list = record;
    Sem_Release(SEM_MSG_LISTS);
}

void svc_list_pop(SvcMsg** list)
{
    Sem_Wait(SEM_MSG_LISTS);
    if (SvcMsg* head = *list) {
        SvcMsg* next = head->next;
        svc_msg_free(head);
        *list = next;
    }
    Sem_Release(SEM_MSG_LISTS);
}

SvcMsg* svc_list_take(SvcMsg** list)
{
    Sem_Wait(SEM_MSG_LISTS);
    SvcMsg* head = *list;
    if (head) {
        *list = head->next;
        head->next = nullptr;
    }
    Sem_Release(SEM_MSG_LISTS);
    return head;
}

bool svc_list_drop_first(SvcMsg** list, bool (*match)(const SvcMsg* record))
{
    Sem_Wait(SEM_MSG_LISTS);
    SvcMsg** link = list;
    while (*link && !match(*link))
        link = &(*link)->next;
    SvcMsg* found = *link;
    if (found) {
        *link = found->next;
        svc_msg_free(found);
    }
    Sem_Release(SEM_MSG_LISTS);
    return found != nullptr;
}

SvcMsg* svc_list_free(SvcMsg* record)
{
    while (record) {
        SvcMsg* next = record->next;
        svc_msg_free(record);
        record = next;
    }
    return nullptr;
}

SvcMsg* svc_list_last(SvcMsg* record)
{
    if (!record)
        return nullptr;
    while (record->next)
        record = record->next;
    return record;
}

int svc_list_count(const SvcMsg* record)
{
    int n = 0;
    for (; record; record = record->next)
        ++n;
    return n;
}
