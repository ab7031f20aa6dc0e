/*
 * A polling host: no callback, protocol 2. It sends a few commands one at a time and takes each
 * response with ORMA_DLL_Receive_Message, calling ORMA_DLL_Loop so that queued commands go out.
 *
 *   poll_host [MODE]      (default 2: the module, or ormasim, at 127.0.0.1:5002)
 *
 * Exit status 0 when every command got its response.
 */
#include <ORMA_DLL.h>
#include "sleep_ms.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char **argv)
{
    const int32_t mode = argc > 1 ? atoi(argv[1]) : ORMA_DLL_MODE_TCP;
    static const uint8_t commands[][3] = {{0x01, 0, 0}, {0x40, 0x01, 0x02}, {0x02, 0xAB, 0}};
    static const uint8_t lengths[] = {1, 3, 2};
    const int count = (int)(sizeof lengths / sizeof lengths[0]);
    int answered = 0;

    ORMA_DLL_Init(mode, ORMA_DLL_PROTOCOL_FLOW, 0, NULL); /* blocks about 3 s in mode 2 */

    /* All commands at once: the library sends the first and queues the others. */
    for (int i = 0; i < count; ++i)
        if (ORMA_DLL_Send_Message(commands[i], lengths[i]) != 0)
            fprintf(stderr, "poll_host: command %d was refused\n", i);

    const time_t give_up = time(NULL) + 10; /* never wait forever for a module */
    while (answered < count && time(NULL) < give_up) {
        uint8_t message[255];
        uint8_t length = 0;
        if (ORMA_DLL_Receive_Message(message, &length) == 0) {
            printf("received %3u bytes:", (unsigned)length);
            for (int i = 0; i < length; ++i)
                printf(" %02X", message[i]);
            printf("\n");
            if (message[0] >= 0x80 && message[0] <= 0xBF) /* a response (0x85: no answer in time) */
                ++answered;
        } else {
            ORMA_DLL_Loop(); /* sends the next queued command once the com state is 1 */
            sleep_ms(1); /* a real host does its other work here */
        }
    }
    ORMA_DLL_Exit();
    printf("poll_host: %d of %d commands answered\n", answered, count);
    return answered == count ? 0 : 1;
}
