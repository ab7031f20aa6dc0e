// The configuration loader over any file content: Log_Init, a few messages through every
// channel, Log_Exit. Natively the project's own INI reader is compared with iniparser on the
// same file. File names that leave the current directory are refused by the loader's part;
// ormactl's configuration check, which only reads, gets every file.
#include "log_config_check.h"
#include "logging/ini_own.h"
#include "logging/log_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string dump(void (*write)(const void*, std::FILE*), const void* dict)
{
    std::FILE* f = std::tmpfile();
    write(dict, f);
    std::string out(static_cast<size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    out.resize(std::fread(out.data(), 1, out.size(), f));
    std::fclose(f);
    return out;
}

void dump_own(const void* d, std::FILE* f)
{
    ini_own_dump(static_cast<const IniOwnDict*>(d), f);
}

void dump_lib(const void* d, std::FILE* f)
{
    ini_dump(static_cast<const IniDict*>(d), f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* path = "fuzz_log_config.ini";
    std::FILE* f = std::fopen(path, "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    static std::FILE* report = std::fopen("fuzz_log_config_check.txt", "w");
    if (report) {
        check_log_config_file(path, report);
        std::rewind(report);
    }

    for (size_t i = 0; i < size; ++i)
        if (data[i] == '/' || data[i] == '\\' || data[i] == ':')
            return 0; // log files stay in the current directory

#if ORMA_FUZZ_COMPARE_INIPARSER
    IniDict* lib = ini_load(path);
    IniOwnDict* own = ini_own_load(path);
    if ((lib == nullptr) != (own == nullptr))
        std::abort();
    if (lib) {
        const std::string a = dump(dump_lib, lib);
        if (a != dump(dump_own, own))
            std::abort();
        for (const char* key : {"ORMA_GENERAL:Logging", "ORMA_GENERAL:Filter", "orma_error:file", "ORMA_FSI",
                                "ORMA_CONFIGURED_SUBCHANNELS:LogListByCU"}) {
            const char* x = ini_get(lib, key);
            const char* y = ini_own_get(own, key);
            if ((x == nullptr) != (y == nullptr) || (x && std::strcmp(x, y) != 0))
                std::abort();
        }
    }
    ini_free(lib);
    ini_own_free(own);
#else
    (void)dump;
    (void)dump_own;
    (void)dump_lib;
#endif

    Log_SetClock([]() -> int64_t { return 1000; }, nullptr);
    Log_Init(path);
    static const uint8_t messages[][10] = {
        {0xF0, 0x01, 0x02}, {0xC1, 0x05}, {0x41}, {0xE0, 0x46, 0x06, 0x00, 0x0A, 0x85, 0, 0, 0, 1}, {0x42, 0, 0}};
    static const uint16_t lengths[] = {3, 2, 1, 10, 3};
    for (size_t i = 0; i < 5; ++i)
        Log_Message(messages[i], lengths[i]);
    Log_Message(messages[3], 9); // shorter than a whole notification
    Log_Exit();
    return 0;
}
