/* A program of a library user: sends the command 01 in mode 2 under protocol 2 and waits up
 * to 5 s for the response 81. Prints the header's version first. */
#define _POSIX_C_SOURCE 199309L
#include <ORMA_DLL.h>

#include <stdio.h>
#include <time.h>

int main(void)
{
    const uint8_t command = 0x01;
    uint8_t buffer[255];
    uint8_t length = 0;
    int answered = 0;
    const struct timespec pause = {0, 1000000};
    time_t deadline;

    printf("ORMA_DLL %s\n", ORMA_DLL_VERSION_STRING);
    ORMA_DLL_Init(ORMA_DLL_MODE_TCP, ORMA_DLL_PROTOCOL_FLOW, 0, NULL);
    ORMA_DLL_Receive_Message(buffer, &length); /* the first poll: from now on messages are kept */
    ORMA_DLL_Send_Message(&command, 1);
    deadline = time(NULL) + 5;
    while (!answered && time(NULL) < deadline) {
        if (ORMA_DLL_Receive_Message(buffer, &length) == 0)
            answered = length == 1 && buffer[0] == 0x81;
        else
            nanosleep(&pause, NULL);
    }
    ORMA_DLL_Exit();
    printf(answered ? "response 81\n" : "no response\n");
    return answered ? 0 : 1;
}
