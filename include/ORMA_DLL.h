/*
 * ORMA_DLL: host interface to a DAB receiver module.
 *
 * A message is 1 to 255 bytes, message code first. The host sends commands
 * (codes below 0x80); the module answers with responses (0x80 to 0xBF) and
 * sends notifications (0xC0 to 0xFF).
 *
 * Every function returns 0 on success and 1 when there was nothing to do.
 * The functions may be called from any thread, the receive callback included;
 * sends are serialized inside the library. After ORMA_DLL_Exit returns, no
 * receive callback begins any more.
 */
#ifndef ORMA_DLL_H
#define ORMA_DLL_H

#include <stdint.h>

/* The version of this header and of the library it comes with. */
#define ORMA_DLL_VERSION_MAJOR 1
#define ORMA_DLL_VERSION_MINOR 0
#define ORMA_DLL_VERSION_PATCH 0
#define ORMA_DLL_VERSION_STRING "1.0.0"
/* One number for comparisons in #if: 0xMMmmpp, e.g. 0x010000 for 1.0.0. */
#define ORMA_DLL_VERSION \
    ((ORMA_DLL_VERSION_MAJOR << 16) | (ORMA_DLL_VERSION_MINOR << 8) | ORMA_DLL_VERSION_PATCH)

#if defined(_WIN32)
#  define ORMA_DLL_CALL __cdecl
#  if defined(ORMA_DLL_BUILD)
#    define ORMA_DLL_API
#  else
#    define ORMA_DLL_API __declspec(dllimport)
#  endif
#else
#  define ORMA_DLL_CALL
#  if defined(ORMA_DLL_BUILD)
#    define ORMA_DLL_API __attribute__((visibility("default")))
#  else
#    define ORMA_DLL_API
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Operating modes: the link to the module. Any other value: no link, messages are dropped. */
#define ORMA_DLL_MODE_COM  1 /* serial port COM1, 115200 baud, 8 data bits, even parity, 2 stop bits */
#define ORMA_DLL_MODE_TCP  2 /* TCP client to 127.0.0.1 port 5002 */
#define ORMA_DLL_MODE_USB  3 /* USB, shared between processes through named pipes (4 is the same) */

/* Protocols: 2 keeps one command in flight (see ORMA_DLL_getComState); 1 and others send at once. */
#define ORMA_DLL_PROTOCOL_FLOW 2

/*
 * Receives one message (code first) on a thread of the link. The pointer is valid only during
 * the call: copy what you keep. The result is ignored.
 */
typedef int32_t (ORMA_DLL_CALL *ORMA_DLL_ReceiveCallback)(const uint8_t *message, int32_t length);

/*
 * Starts the library: log configuration from "ORMA_DLL_Log.ini", the message service and the
 * link of the mode. With a callback, every received message goes to it; without one, protocol 2
 * stores responses and notifications for ORMA_DLL_Receive_Message. Waits 2000 ms in modes 2 to 4.
 * A second call without ORMA_DLL_Exit stops the running instance first. Returns 0.
 */
ORMA_DLL_API int32_t ORMA_DLL_CALL ORMA_DLL_Init(int32_t mode, int32_t protocol, uint32_t reserved,
                                                 ORMA_DLL_ReceiveCallback callback);

/* Stops the link, drops every queued message, closes the log files. Returns 0. */
ORMA_DLL_API int32_t ORMA_DLL_CALL ORMA_DLL_Exit(void);

/*
 * Queues one message of 1 to 255 bytes. Under protocol 2 it goes out at once when the com state
 * is 1, else it waits for ORMA_DLL_Loop. Returns 1 for a null pointer, a length of 0 or a library
 * that is not started, else 0.
 */
ORMA_DLL_API int32_t ORMA_DLL_CALL ORMA_DLL_Send_Message(const uint8_t *message, uint8_t length);

/*
 * Takes the oldest received message into buffer (room for 255 bytes) and its length into *length.
 * Returns 0, or 1 with *length 0 when no message is waiting.
 */
ORMA_DLL_API int32_t ORMA_DLL_CALL ORMA_DLL_Receive_Message(uint8_t *buffer, uint8_t *length);

/* Sends the next queued message when the com state is 1. Returns 0. */
ORMA_DLL_API int32_t ORMA_DLL_CALL ORMA_DLL_Loop(void);

/* 1 when a command may be sent at once, 0 while a command awaits its response. */
ORMA_DLL_API int32_t ORMA_DLL_CALL ORMA_DLL_getComState(void);

#ifdef __cplusplus
}
#endif

#endif /* ORMA_DLL_H */
