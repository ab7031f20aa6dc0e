/*
 * A callback host: every received message reaches on_message on the library's receive thread.
 * Each response chains the next command from inside the callback, which the library allows.
 *
 *   callback_host [MODE] [COUNT]   (default mode 2, 100 commands)
 *
 * Exit status 0 when every command got its response.
 */
#include <ORMA_DLL.h>
#include "sleep_ms.h"

#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static atomic_int g_sent;
static atomic_int g_answered;
static int g_count = 100;

static void send_next(void)
{
    const uint8_t command[2] = {0x01, (uint8_t)atomic_load(&g_sent)};
    atomic_fetch_add(&g_sent, 1);
    ORMA_DLL_Send_Message(command, sizeof command);
}

/* Runs on the library's thread: copy what you keep, return quickly. */
static int32_t ORMA_DLL_CALL on_message(const uint8_t *message, int32_t length)
{
    if (length < 1)
        return 0;
    if (message[0] >= 0x80 && message[0] <= 0xBF) { /* a response */
        if (atomic_fetch_add(&g_answered, 1) + 1 < g_count)
            send_next();
    } else {
        printf("notification %02X (%d bytes)\n", message[0], (int)length);
    }
    return 0;
}

int main(int argc, char **argv)
{
    const int32_t mode = argc > 1 ? atoi(argv[1]) : ORMA_DLL_MODE_TCP;
    if (argc > 2)
        g_count = atoi(argv[2]);

    ORMA_DLL_Init(mode, ORMA_DLL_PROTOCOL_FLOW, 0, on_message);
    send_next();

    /* Wait for the last response, at most 10 s. */
    const time_t give_up = time(NULL) + 10;
    while (atomic_load(&g_answered) < g_count && time(NULL) < give_up)
        sleep_ms(10);
    ORMA_DLL_Exit(); /* no callback runs after this returns */
    printf("callback_host: %d of %d commands answered\n", atomic_load(&g_answered), g_count);
    return atomic_load(&g_answered) == g_count ? 0 : 1;
}
