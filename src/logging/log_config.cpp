// Log configuration and log files: reads the INI file once, opens the four channels' files,
// writes the restart banner and the configuration dump, flushes and closes.
#include "logging/log_state.h"
#include "logging/options_ini.h"
#include "support/console.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

namespace {

constexpr const char* DEFAULT_CONFIG_FILE = "config_orma_log.ini";

LogState* g_state = nullptr;

int64_t system_clock_seconds()
{
    return static_cast<int64_t>(std::time(nullptr));
}

LogClockFn g_clock = system_clock_seconds;
LogLocalTimeFn g_local_time = log_os_local_time;

std::string upper(const char* value)
{
    std::string s(value);
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The mode value of a channel's "Logging" key, or null when the channel stays off (key absent
// or "OFF").
bool channel_requested(const LogState* state, const char* key, std::string& mode)
{
    const char* value = ini_get(state->config, key);
    if (!value)
        return false;
    mode = upper(value);
    return mode != "OFF";
}

bool key_is_on(const LogState* state, const char* key)
{
    const char* value = ini_get(state->config, key);
    return value && upper(value) == "ON";
}

// The channel's bound in bytes from "MaxSize" (KB) beside its File key: digits only, at most
// 4 TB; anything else, 0 or no key: no bound.
uint64_t max_size(const LogState* state, const char* file_key)
{
    std::string key(file_key);
    key.replace(key.find(':') + 1, std::string::npos, "MaxSize");
    const char* value = ini_get(state->config, key.c_str());
    if (!value || !*value || std::strspn(value, "0123456789") != std::strlen(value) || std::strlen(value) > 10)
        return 0;
    return std::strtoull(value, nullptr, 10) * 1024u;
}

// Opens the channel's file (the configured name or the default); reports a failure.
bool open_channel_file(const LogState* state, LogChannel& channel, const char* file_key, const char* default_name)
{
    const char* name = ini_get(state->config, file_key);
    if (!name)
        name = default_name;
    channel.name = name;
    channel.max_bytes = max_size(state, file_key);
    channel.file = std::fopen(name, "w");
    if (!channel.file) {
        console_print(ConsoleStream::Err, "ERROR: Unable to create file \"%s\"\n", name);
        return false;
    }
    return true;
}

// An unrecognised mode: the file was created and is closed again, the channel stays off.
void drop_channel(LogChannel& channel)
{
    std::fclose(channel.file);
    channel.file = nullptr;
    channel.mode = LOG_OFF;
}

// The mode that a channel's Logging word names, among the modes the channel knows; LOG_OFF
// for any other word.
LogMode mode_named(const std::string& word, std::initializer_list<LogMode> known)
{
    static const std::pair<LogMode, const char*> NAMES[] = {
        {LOG_ALL, "ALL"},
        {LOG_NOTIFICATIONS_ONLY, "NOTIFICATIONS_ONLY"},
        {LOG_COMMANDS_RESPONSES, "COMMANDS_RESPONSES"},
        {LOG_ENCLOSED_FILTER, "ENCLOSED_FILTER"},
        {LOG_EXCLOSED_FILTER, "EXCLOSED_FILTER"},
    };
    for (const auto& [mode, name] : NAMES) {
        if (word == name && std::find(known.begin(), known.end(), mode) != known.end())
            return mode;
    }
    return LOG_OFF;
}

const char* const WEEKDAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void write_restart_banner(std::FILE* file)
{
    std::tm t{};
    if (!g_local_time(log_now(), &t))
        t = std::tm{};
    const int wday = t.tm_wday >= 0 && t.tm_wday < 7 ? t.tm_wday : 0;
    const int mon = t.tm_mon >= 0 && t.tm_mon < 12 ? t.tm_mon : 0;
    std::fprintf(file, "\n\n  ===== RESTARTED Quillmarsh =====  %s %s %02d %02d:%02d:%02d %04d\n", WEEKDAYS[wday],
                 MONTHS[mon], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_year + 1900);
}

int32_t read_general(LogState* state)
{
    LogChannel& ch = state->general;
    std::string mode;
    if (!channel_requested(state, "ORMA_GENERAL:Logging", mode))
        return 1;
    if (!open_channel_file(state, ch, "ORMA_GENERAL:File", "ORMA_Notifications.txt"))
        return 0;
    ch.mode = mode_named(mode, {LOG_ALL, LOG_NOTIFICATIONS_ONLY, LOG_COMMANDS_RESPONSES, LOG_ENCLOSED_FILTER,
                                LOG_EXCLOSED_FILTER});
    if (ch.mode == LOG_OFF) {
        drop_channel(ch);
        return 0;
    }
    if (ch.mode == LOG_ENCLOSED_FILTER || ch.mode == LOG_EXCLOSED_FILTER)
        return Log_ParseFilter(state, "ORMA_GENERAL:Filter", &ch);
    return 1;
}

int32_t read_error(LogState* state)
{
    LogChannel& ch = state->error;
    std::string mode;
    if (!channel_requested(state, "ORMA_ERROR:Logging", mode))
        return 1;
    int32_t result = 1;
    if (!open_channel_file(state, ch, "ORMA_ERROR:File", "ORMA_ErrNotifications.txt")) {
        result = 0;
    } else {
        ch.mode = mode_named(mode, {LOG_ALL, LOG_ENCLOSED_FILTER, LOG_EXCLOSED_FILTER});
        if (ch.mode == LOG_OFF) {
            drop_channel(ch);
            result = 0;
        }
        if (ch.mode == LOG_ENCLOSED_FILTER || ch.mode == LOG_EXCLOSED_FILTER) {
            result = Log_ParseFilter(state, "ORMA_ERROR:Filter", &ch);
            Log_PruneErrorFilter(state);
        }
    }
    if (ch.file && key_is_on(state, "ORMA_ERROR:Startup"))
        write_restart_banner(ch.file);
    return result;
}

// The FSI and sub-channel channels know only "ON".
int32_t read_on_channel(LogState* state, LogChannel& ch, const char* logging_key, const char* file_key,
                        const char* default_name, bool& requested)
{
    std::string mode;
    requested = channel_requested(state, logging_key, mode);
    if (!requested)
        return 1;
    if (!open_channel_file(state, ch, file_key, default_name))
        return 0;
    if (mode != "ON") {
        drop_channel(ch);
        return 0;
    }
    ch.mode = LOG_ON;
    return 1;
}

// Sets up one channel. Memory that runs out while its configuration is read turns the channel
// off and counts as a failed set-up, instead of ending the host's process.
template <typename SetUp>
int32_t set_up(LogChannel& channel, SetUp&& read)
{
    try {
        return read();
    } catch (const std::bad_alloc&) {
        if (channel.file)
            std::fclose(channel.file);
        channel.file = nullptr;
        channel.mode = LOG_OFF;
        return 0;
    }
}

void close_state(LogState* state)
{
    for (LogChannel* ch : {&state->general, &state->error, &state->fsi, &state->subchannels})
        log_channel_close(*ch);
    ini_free(state->config);
    delete state;
}

int32_t exit_unlocked()
{
    if (!g_state)
        return 0;
    LogState* state = g_state;
    g_state = nullptr;
    close_state(state);
    return 1;
}

} // namespace

std::mutex& log_lock()
{
    static std::mutex lock;
    return lock;
}

int64_t log_now()
{
    return g_clock();
}

void Log_SetClock(LogClockFn now, LogLocalTimeFn local_time)
{
    g_clock = now ? now : system_clock_seconds;
    g_local_time = local_time ? local_time : log_os_local_time;
}

LogState* Log_State()
{
    return g_state;
}

int32_t Log_Init(const char* config_file)
{
    std::lock_guard<std::mutex> hold(log_lock());
    const char* name = config_file ? config_file : DEFAULT_CONFIG_FILE;
    exit_unlocked();

    IniDict* config = nullptr;
    try {
        config = ini_load(name);
    } catch (const std::bad_alloc&) {
        options_set(OrmaOptions{});
        return 0; // no memory for the configuration: nothing is logged
    }
    // The library's own settings come from the same file; without it, every default.
    options_set(options_read(config));
    console_set_output(config ? ini_get(config, "ORMA_CONSOLE:Output") : nullptr);
    if (!config) {
        console_print(ConsoleStream::Out, "Unable to open configuration file \"%s\"\n", name);
        return 0;
    }
    auto* state = new (std::nothrow) LogState{};
    if (!state) {
        ini_free(config);
        return 0;
    }
    state->config = config;
    g_state = state;

    const int32_t result = Log_ReadConfig(state);
    if (result == 1)
        Log_DumpConfig(name);
    return result;
}

int32_t Log_ReadConfig(LogState* state)
{
    if (!state)
        return 0;
    // Channels are set up in a fixed order; a failure leaves the later ones unread (the error
    // channel still writes its restart banner first).
    if (set_up(state->general, [state] { return read_general(state); }) != 1)
        return 0;
    const int32_t result = set_up(state->error, [state] { return read_error(state); });
    if (result != 1)
        return result;
    bool requested = false;
    if (set_up(state->fsi, [&] {
            return read_on_channel(state, state->fsi, "ORMA_FSI:Logging", "ORMA_FSI:File", "ORMA_FSINotifications.txt",
                                   requested);
        }) != 1)
        return 0;
    LogChannel& sub = state->subchannels;
    return set_up(sub, [&] {
        if (read_on_channel(state, sub, "ORMA_CONFIGURED_SUBCHANNELS:Logging", "ORMA_CONFIGURED_SUBCHANNELS:File",
                            "ORMA_CfgSubChannels.txt", requested) != 1)
            return 0;
        if (requested) {
            sub.list_options = 0;
            if (key_is_on(state, "ORMA_CONFIGURED_SUBCHANNELS:LogListById"))
                sub.list_options |= LOG_LIST_BY_ID;
            if (key_is_on(state, "ORMA_CONFIGURED_SUBCHANNELS:LogListByCU"))
                sub.list_options |= LOG_LIST_BY_CU;
        }
        return 1;
    });
}

void Log_DumpConfig(const char* config_file)
{
    LogState* state = g_state;
    if (!state)
        return;
    const char* name = config_file ? config_file : "";
    for (const LogChannel* ch : {&state->general, &state->error, &state->fsi, &state->subchannels}) {
        if (!ch->file)
            continue;
        std::fprintf(ch->file, "\nConfiguration data of file \"%s\":\n", name);
        try {
            ini_dump(state->config, ch->file);
        } catch (const std::bad_alloc&) { // the dump is cut short; the channel logs on
        }
        std::fprintf(ch->file, "\n\n");
    }
}

void Log_Flush()
{
    LogState* state = g_state;
    if (!state)
        return;
    for (LogChannel* ch : {&state->general, &state->error, &state->fsi, &state->subchannels})
        log_channel_flush(*ch);
}

int32_t Log_Exit()
{
    std::lock_guard<std::mutex> hold(log_lock());
    return exit_unlocked();
}
