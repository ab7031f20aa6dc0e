/*
 * ORMA_DLL: host interface to a DAB receiver module.
 *
 * A message is 1 to 255 bytes, message code first. The host sends commands
 * (codes below 0x80); the module answers with responses (0x80 to 0xBF) and
 * sends notifications (0xC0 to 0xFF). The library's own response 0x85 (one
 * byte) answers a command that got no answer: its deadline passed, or its link
 * failed (see "When the link fails" in the README).
 *
 * Results: 0 for success, 1 when there was nothing to do (a bad argument, an
 * empty receive list, a library that is not started, a message that could not
 * be queued). No function blocks on the module except ORMA_DLL_Init, which
 * waits as the table at ORMA_DLL_Init says.
 *
 * Threads: every function may be called from any thread, the receive callback
 * included; sends are serialized inside the library. After ORMA_DLL_Exit
 * returns, no receive callback begins any more. The library may be unloaded
 * without ORMA_DLL_Exit: its threads are stopped first.
 *
 * Settings beyond the arguments come from "ORMA_DLL_Log.ini" in the current
 * folder, read at every ORMA_DLL_Init: log files, [ORMA_LINK] (response
 * deadline, reconnection, long USB messages) and [ORMA_CONSOLE] (where the
 * library's console lines go). The README lists every key.
 */
#ifndef ORMA_DLL_H
#define ORMA_DLL_H

#include <stdint.h>

/* The version of this header and of the library it comes with. */
#define ORMA_DLL_VERSION_MAJOR 1
#define ORMA_DLL_VERSION_MINOR 1
#define ORMA_DLL_VERSION_PATCH 0
#define ORMA_DLL_VERSION_STRING "1.1.0"
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
#define ORMA_DLL_MODE_COM  1 /* serial port ([ORMA_LINK] ComPort, COM1 by default), 115200 baud,
                                8 data bits, even parity, 2 stop bits */
#define ORMA_DLL_MODE_TCP  2 /* TCP client to [ORMA_LINK] Host and Port (127.0.0.1, 5002) */
#define ORMA_DLL_MODE_USB  3 /* USB, shared between processes through named pipes (4 is the same) */

/* Protocols: 2 keeps one command in flight (see ORMA_DLL_getComState); 1 and others send at once. */
#define ORMA_DLL_PROTOCOL_FLOW 2

/*
 * Receives one message (code first) on one of the library's own threads: the module's messages,
 * every 0x85 the library makes up and the link notifications, one call at a time (never two at
 * once), in the order the library decided them; a command's 0x85 always comes before a late real
 * response to it. The pointer is valid only during the call: copy what you keep. The result is
 * ignored. The callback may take as long as it likes (the next message waits for it). Calling
 * the other exports from here works (chaining the next command, say), except ORMA_DLL_Init and
 * ORMA_DLL_Exit.
 */
typedef int32_t (ORMA_DLL_CALL *ORMA_DLL_ReceiveCallback)(const uint8_t *message, int32_t length);

/*
 * Starts the library: log configuration and settings from "ORMA_DLL_Log.ini", the message
 * service and the link of the mode. With a callback, every received message goes to it; without
 * one, protocol 2 stores responses and notifications for ORMA_DLL_Receive_Message (until the
 * first ORMA_DLL_Receive_Message, each notification displaces the oldest stored notification,
 * never a response). `reserved` is ignored.
 * A second call without ORMA_DLL_Exit stops the running instance first. Returns 0, also when
 * the link cannot be opened: its console lines say why.
 *
 * Returns as soon as the link is up ([ORMA_LINK] StartWait = READY, the default): mode 2 when
 * connected, mode 1 when the port is open and set, modes 3 and 4 when the pipe to the owner
 * process is connected; measured with the module present (median of 20): mode 2 0.06 ms, mode 1
 * on a pseudo-terminal 0.04 ms, mode 4 under Wine 110 ms. A link that is not up is waited
 * for at most: mode 1 1000 ms, mode 2 3000 ms, modes 3 and 4 2000 ms (Windows; Linux has no
 * USB: one console line, no wait); with Reconnect = OFF a link that fails at once is not waited
 * for. StartWait = FIXED always waits those times. Other modes start no link and do not wait.
 * An ORMA_DLL_Exit on another thread cuts the waits short.
 */
ORMA_DLL_API int32_t ORMA_DLL_CALL ORMA_DLL_Init(int32_t mode, int32_t protocol, uint32_t reserved,
                                                 ORMA_DLL_ReceiveCallback callback);

/*
 * Stops the link, drops every queued message, closes the log files. Returns 0. Returns within
 * 200 ms whatever the module does (measured: under 15 ms in modes 1 and 2, also against a module
 * that never reads while four threads send), and cuts short the waits of an ORMA_DLL_Init under
 * way on another thread. Calling it again, or before ORMA_DLL_Init, does nothing.
 */
ORMA_DLL_API int32_t ORMA_DLL_CALL ORMA_DLL_Exit(void);

/*
 * Queues one message of 1 to 255 bytes. Under protocol 2 it goes out at once when the com state
 * is 1, else it waits for ORMA_DLL_Loop; under other protocols it goes out at once. Never waits
 * for the module.
 * Returns 1 for a null pointer, a length of 0, a library that is not started, and a message that
 * could not be queued (the table of queued and stored messages is full); in modes 3 and 4 also
 * for a message of 251 to 255 bytes, longer than one device block, unless [ORMA_LINK]
 * SplitLongMessages = ON. Else 0. Waits at most one bounded write (1 s) plus scheduling, however
 * many threads send: a module that takes nothing for that long fails its link. A command the
 * link does not take gets one 0x85 whenever the host can hear it (a callback, or protocol 2).
 * The length is 8 bits: a count above 255 given from a wider type wraps (256 becomes 0 and is
 * refused; 300 sends 44 bytes).
 */
ORMA_DLL_API int32_t ORMA_DLL_CALL ORMA_DLL_Send_Message(const uint8_t *message, uint8_t length);

/*
 * Takes the oldest received message into buffer (room for 255 bytes) and its length into *length.
 * Returns 0, or 1 with *length 0 when no message is waiting, the library is not started, or a
 * pointer is null. Never waits. Messages come out in the order they arrived.
 */
ORMA_DLL_API int32_t ORMA_DLL_CALL ORMA_DLL_Receive_Message(uint8_t *buffer, uint8_t *length);

/*
 * Sends the next queued message when the com state is 1. Never waits. Returns 0 once the library
 * is started, and 1 before ORMA_DLL_Init and after ORMA_DLL_Exit. Call it while a host polls:
 * the command queued behind a response goes out only through it.
 */
ORMA_DLL_API int32_t ORMA_DLL_CALL ORMA_DLL_Loop(void);

/*
 * 1 when a command may be sent at once, 0 while a command awaits its response (protocol 2). The
 * com state opens again with the response, or with the library's 0x85 when the response deadline
 * passes or the link fails. 1 before ORMA_DLL_Init.
 */
ORMA_DLL_API int32_t ORMA_DLL_CALL ORMA_DLL_getComState(void);

/* Added in 1.1.0. */

#define ORMA_DLL_LINK_UP    1  /* the link is up */
#define ORMA_DLL_LINK_DOWN  0  /* the link is down and being tried again */
#define ORMA_DLL_LINK_NONE (-1) /* no link runs */

/*
 * The link's state: 1 when it is up; 0 while it is down and being tried again; -1 when no link
 * runs (before ORMA_DLL_Init, after ORMA_DLL_Exit, a mode without a link, a link that failed for
 * good with [ORMA_LINK] Reconnect = OFF). Right after ORMA_DLL_Init it tells a host whether the
 * module was reached. Never waits.
 */
ORMA_DLL_API int32_t ORMA_DLL_CALL ORMA_DLL_getLinkState(void);

/*
 * As ORMA_DLL_Receive_Message, but waits up to timeout_ms for a message when none is waiting,
 * without polling: returns as soon as one comes (0), or 1 with *length 0 after the timeout, at
 * once before ORMA_DLL_Init, and when ORMA_DLL_Exit on another thread ends the session. Meant for
 * a host without a callback under protocol 2, where messages are stored.
 */
ORMA_DLL_API int32_t ORMA_DLL_CALL ORMA_DLL_Receive_Message_Wait(uint8_t *buffer, uint8_t *length,
                                                                uint32_t timeout_ms);

/* The library's version at run time, as ORMA_DLL_VERSION_STRING ("1.1.0"). */
ORMA_DLL_API const char *ORMA_DLL_CALL ORMA_DLL_getVersion(void);

/*
 * Receives the library's console lines: level 0 for an error, 1 for information, 2 for the
 * link's progress; one call per line, without its line end, the text otherwise unchanged. While
 * set, the lines go to it instead of the console, whatever [ORMA_CONSOLE] Output says; the INI
 * reader's complaints about the settings file too. Called on whichever thread prints the line
 * (the host's own in ORMA_DLL_Init, the library's threads later), perhaps on two at once. NULL
 * restores the console.
 */
typedef void (ORMA_DLL_CALL *ORMA_DLL_LogCallback)(int32_t level, const char *line);
ORMA_DLL_API void ORMA_DLL_CALL ORMA_DLL_Set_Log_Callback(ORMA_DLL_LogCallback callback);

#ifdef __cplusplus
}
#endif

#endif /* ORMA_DLL_H */
