// The six exports: operating modes, protocols and the com state flow control.
#include "ORMA_DLL.h"

#include "Services/svc_orma/svc_seq_orma.h"
#include "api/receive_callbacks.h"
#include "link/frame.h"
#include "link/link_client.h"
#include "logging/log.h"
#include "support/heap.h"
#include "support/sem.h"
#include "usb/usb_glue.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr const char* LOG_CONFIG_FILE = "ORMA_DLL_Log.ini";
constexpr auto START_WAIT = std::chrono::milliseconds(2000);

bool g_started = false;

bool mode_is_link(int32_t mode)
{
    return mode == 1 || mode == 2;
}

bool mode_is_usb(int32_t mode)
{
    return mode == 3 || mode == 4;
}

uint8_t start_byte(int32_t protocol)
{
    switch (protocol) {
    case 2:
        return FRAME_START_FLOW;
    case 1:
        return FRAME_START_PLAIN;
    default:
        return FRAME_START_OTHER;
    }
}

// The send function of modes 1 and 2: log, write one frame, always done with the record.
int32_t SendOverLink(uint32_t, SvcMsg* record)
{
    Log_Message(record->data, record->length);
    frame_send(ORMA_Cli_Ops(), start_byte(g_orma.protocol), record->data, record->length);
    return 1;
}

void start_link(int32_t mode, int32_t protocol, bool host_callback)
{
    SvcSeq* seq = g_orma.seq.load();
    ReceiveCallback first = nullptr;
    ReceiveCallback second = nullptr;
    if (host_callback) {
        first = second = ForwardToHost;
    } else if (protocol == 2) {
        first = OnResponse;
        second = OnNotification;
    }

    if (mode_is_link(mode)) {
        svc_seq_set_send_function(seq, SendOverLink, 0);
        if (mode == 1) {
            LinkConfig config{};
            config.type = LINK_COM;
            config.com = ComSettings{1, 115200, 2, 8, 2};
            ORMA_Cli_Configure(&config);
        } else {
            ORMA_Cli_Configure(nullptr);
        }
        ORMA_Cli_SetCallbacks(first, second);
        ORMA_Cli_Start();
        if (mode == 2)
            std::this_thread::sleep_for(START_WAIT);
    } else if (mode_is_usb(mode)) {
        svc_seq_set_send_function(seq, SendOverUsb, 0);
        if (first)
            ORMA_Usb_Init(first, second);
        std::this_thread::sleep_for(START_WAIT);
    }
}

} // namespace

extern "C" {

int32_t ORMA_DLL_CALL ORMA_DLL_Init(int32_t mode, int32_t protocol, uint32_t, ORMA_DLL_ReceiveCallback callback)
{
    if (g_started)
        ORMA_DLL_Exit();

    Sem_CreateAll();
    Log_Init(LOG_CONFIG_FILE);
    Heap_Init();
    g_orma.host_callback = callback;
    g_orma.seq = svc_seq_create();
    g_orma.mode = mode;
    g_orma.protocol = protocol;
    g_orma.com_state = 1;
    g_orma.host_has_polled = 0;
    g_started = true;

    start_link(mode, protocol, callback != nullptr);
    return 0;
}

int32_t ORMA_DLL_CALL ORMA_DLL_Exit(void)
{
    if (!g_started)
        return 0;
    if (mode_is_link(g_orma.mode))
        ORMA_Cli_Stop();
    else if (mode_is_usb(g_orma.mode))
        ORMA_Usb_Exit();
    svc_seq_destroy(g_orma.seq.exchange(nullptr));
    Log_Exit();
    Sem_CloseAll();
    g_orma.host_callback = nullptr;
    g_started = false;
    return 0;
}

int32_t ORMA_DLL_CALL ORMA_DLL_Send_Message(const uint8_t* message, uint8_t length)
{
    SvcSeq* seq = g_orma.seq.load();
    if (!message || length == 0 || !seq)
        return 1;
    SvcMsg* record = svc_msg_create(message[0], message + 1, static_cast<uint16_t>(length - 1));
    if (g_orma.protocol == 2) {
        // Close the com state before the command leaves, so that a response arriving at once
        // on the receive thread is never overwritten.
        if (g_orma.com_state.exchange(0) != 0)
            svc_seq_send(seq, record);
        else
            svc_list_append(&seq->tx_list, record);
    } else {
        svc_seq_send(seq, record);
    }
    return 0;
}

int32_t ORMA_DLL_CALL ORMA_DLL_Receive_Message(uint8_t* buffer, uint8_t* length)
{
    if (!length)
        return 1;
    *length = 0;
    SvcSeq* seq = g_orma.seq.load();
    if (!buffer || !seq)
        return 1;
    g_orma.host_has_polled = 1;
    // Taken off the list under the list lock: the receive thread may drop the oldest
    // notification at the same moment until it sees the poll.
    SvcMsg* record = svc_list_take(&seq->rx_list);
    if (!record)
        return 1;
    *length = static_cast<uint8_t>(record->length);
    std::memcpy(buffer, record->data, *length);
    svc_msg_free(record);
    return 0;
}

int32_t ORMA_DLL_CALL ORMA_DLL_Loop(void)
{
    SvcSeq* seq = g_orma.seq.load();
    if (!seq || g_orma.com_state <= 0)
        return 0;
    // As in Send_Message, the state is closed before the record leaves; it is opened again
    // when nothing was handed over.
    int32_t open = 1;
    if (!g_orma.com_state.compare_exchange_strong(open, 0))
        return 0;
    if (svc_seq_send_next(seq) != 1) {
        int32_t closed = 0;
        g_orma.com_state.compare_exchange_strong(closed, 1);
    }
    return 0;
}

int32_t ORMA_DLL_CALL ORMA_DLL_getComState(void)
{
    return g_orma.com_state;
}

} // extern "C"
