/* A host as an MSVC-compatible toolchain builds it (clang in MSVC mode, lld-link), without any C
 * runtime: it links ORMA_DLL.lib and kernel32 alone. In mode 2, polling, it sends 100 commands of
 * 1 to 100 bytes through the exports, each once the com state is open, and checks each response: code 0x80 | (code & 0x3F),
 * payload echoed. Exit status 0 when all came back, 1 otherwise, with one line saying which. */
#include <ORMA_DLL.h>

typedef void *HANDLE;
__declspec(dllimport) HANDLE __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(HANDLE file, const void *data, unsigned long size,
                                              unsigned long *written, void *overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int status);
__declspec(dllimport) void __stdcall Sleep(unsigned long ms);
__declspec(dllimport) unsigned long __stdcall GetTickCount(void);

#define STD_OUTPUT_HANDLE ((unsigned long)-11)
#define COMMANDS 100
#define TIMEOUT_MS 3000

static void say(const char *text, unsigned value)
{
    char line[128];
    unsigned long n = 0;
    char digits[12];
    int d = 0;
    while (*text && n < sizeof line - 16)
        line[n++] = *text++;
    do {
        digits[d++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    while (d)
        line[n++] = digits[--d];
    line[n++] = '\r';
    line[n++] = '\n';
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, n, &n, 0);
}

static void finish(const char *text, unsigned value, unsigned status)
{
    ORMA_DLL_Exit();
    say(text, value);
    ExitProcess(status);
}

void __cdecl start(void)
{
    uint8_t command[COMMANDS];
    uint8_t answer[255];
    uint8_t length = 0;
    unsigned i, k;
    ORMA_DLL_Init(ORMA_DLL_MODE_TCP, ORMA_DLL_PROTOCOL_FLOW, 0, 0);
    for (i = 0; i < COMMANDS; ++i) {
        unsigned long begin = GetTickCount();
        const uint8_t size = (uint8_t)(i + 1);
        for (k = 0; k < size; ++k)
            command[k] = (uint8_t)(k == 0 ? 0x40 | (i & 0x3F) : i + k);
        /* The com state reopens just after the previous response was stored. */
        while (ORMA_DLL_getComState() != 1) {
            if (GetTickCount() - begin > TIMEOUT_MS)
                finish("msvc_host: com state still closed before command ", i, 1);
            Sleep(1);
        }
        if (ORMA_DLL_Send_Message(command, size) != 0)
            finish("msvc_host: refused command ", i, 1);
        while (ORMA_DLL_Receive_Message(answer, &length) != 0) {
            if (GetTickCount() - begin > TIMEOUT_MS)
                finish("msvc_host: no response to command ", i, 1);
            Sleep(1);
        }
        if (length != size || answer[0] != (0x80 | (i & 0x3F)))
            finish("msvc_host: wrong response to command ", i, 1);
        for (k = 1; k < size; ++k)
            if (answer[k] != command[k])
                finish("msvc_host: wrong payload in the response to command ", i, 1);
    }
    finish("msvc_host: responses ", COMMANDS, 0);
}
