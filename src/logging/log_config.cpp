// Log configuration and log files: reads the INI file once, opens the four channels' files,
// writes the restart banner and the configuration dump, flushes and closes.
#include "config/config_table.h"
#include "logging/log_state.h"
#include "logging/options_ini.h"
#include "support/console.h"

#include <new>
#include <string>

namespace {

constexpr const char* DEFAULT_CONFIG_FILE = "config_orma_log.ini";

LogState* g_state = nullptr;

int64_t system_clock_seconds()
{
    return static_cast<int64_t>(std::time(nullptr));
}

LogClockFn g_clock = system_clock_seconds;
LogLocalTimeFn g_local_time = log_os_local_time;

using orma_config::KeyId;
using orma_config::SectionId;

static_assert(LOG_OFF == static_cast<LogMode>(orma_config::Mode::Off) &&
              LOG_ON == static_cast<LogMode>(orma_config::Mode::On) &&
              LOG_ALL == static_cast<LogMode>(orma_config::Mode::All) &&
              LOG_NOTIFICATIONS_ONLY == static_cast<LogMode>(orma_config::Mode::NotificationsOnly) &&
              LOG_COMMANDS_RESPONSES == static_cast<LogMode>(orma_config::Mode::CommandsResponses) &&
              LOG_ENCLOSED_FILTER == static_cast<LogMode>(orma_config::Mode::EnclosedFilter) &&
              LOG_EXCLOSED_FILTER == static_cast<LogMode>(orma_config::Mode::ExclosedFilter));

const char* value_of(const LogState* state, SectionId section, KeyId key)
{
    return ini_get(state->config, orma_config::full_name(section, key));
}

// The channel's Logging value, or null when the channel stays off (key absent or "OFF").
const char* channel_requested(const LogState* state, SectionId section)
{
    const char* value = value_of(state, section, KeyId::Logging);
    if (!value || orma_config::mode_of(orma_config::key(section, KeyId::Logging), value) == orma_config::Mode::Off)
        return nullptr;
    return value;
}

bool key_is_on(const LogState* state, SectionId section, KeyId key)
{
    const char* value = value_of(state, section, key);
    return value && orma_config::switch_on(value);
}

// Opens the channel's file (the configured name or the default); reports a failure.
bool open_channel_file(const LogState* state, LogChannel& channel, SectionId section)
{
    const char* name = value_of(state, section, KeyId::File);
    if (!name)
        name = orma_config::key(section, KeyId::File).default_value;
    channel.name = name;
    const char* max_size = value_of(state, section, KeyId::MaxSize);
    channel.max_bytes = max_size ? orma_config::size_bytes(orma_config::key(section, KeyId::MaxSize), max_size) : 0;
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

// The mode that the channel's Logging value names; LOG_OFF for a word that is no mode of it.
LogMode mode_named(SectionId section, const char* value)
{
    const auto mode = orma_config::mode_of(orma_config::key(section, KeyId::Logging), value);
    return mode ? static_cast<LogMode>(*mode) : LOG_OFF;
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
    const char* mode = channel_requested(state, SectionId::General);
    if (!mode)
        return 1;
    if (!open_channel_file(state, ch, SectionId::General))
        return 0;
    ch.mode = mode_named(SectionId::General, mode);
    if (ch.mode == LOG_OFF) {
        drop_channel(ch);
        return 0;
    }
    if (ch.mode == LOG_ENCLOSED_FILTER || ch.mode == LOG_EXCLOSED_FILTER)
        return Log_ParseFilter(state, orma_config::full_name(SectionId::General, KeyId::Filter), &ch);
    return 1;
}

int32_t read_error(LogState* state)
{
    LogChannel& ch = state->error;
    const char* mode = channel_requested(state, SectionId::Error);
    if (!mode)
        return 1;
    int32_t result = 1;
    if (!open_channel_file(state, ch, SectionId::Error)) {
        result = 0;
    } else {
        ch.mode = mode_named(SectionId::Error, mode);
        if (ch.mode == LOG_OFF) {
            drop_channel(ch);
            result = 0;
        }
        if (ch.mode == LOG_ENCLOSED_FILTER || ch.mode == LOG_EXCLOSED_FILTER) {
            result = Log_ParseFilter(state, orma_config::full_name(SectionId::Error, KeyId::Filter), &ch);
            Log_PruneErrorFilter(state);
        }
    }
    if (ch.file && key_is_on(state, SectionId::Error, KeyId::Startup))
        write_restart_banner(ch.file);
    return result;
}

// The FSI and sub-channel channels know only "ON".
int32_t read_on_channel(LogState* state, LogChannel& ch, SectionId section, bool& requested)
{
    const char* mode = channel_requested(state, section);
    requested = mode != nullptr;
    if (!requested)
        return 1;
    if (!open_channel_file(state, ch, section))
        return 0;
    ch.mode = mode_named(section, mode);
    if (ch.mode == LOG_OFF) {
        drop_channel(ch);
        return 0;
    }
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

TimedLock& log_lock()
{
    // Never destroyed: at the process's exit the system has ended the other threads wherever they
    // were, perhaps inside this lock, and its destructor would wait for them for ever.
    static TimedLock& lock = *new TimedLock;
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
    std::lock_guard hold(log_lock());
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
    console_set_output(config ? ini_get(config, orma_config::full_name(SectionId::Console, KeyId::Output)) : nullptr);
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
    if (set_up(state->fsi, [&] { return read_on_channel(state, state->fsi, SectionId::Fsi, requested); }) != 1)
        return 0;
    LogChannel& sub = state->subchannels;
    return set_up(sub, [&] {
        if (read_on_channel(state, sub, SectionId::SubChannels, requested) != 1)
            return 0;
        if (requested) {
            sub.list_options = 0;
            if (key_is_on(state, SectionId::SubChannels, KeyId::LogListById))
                sub.list_options |= LOG_LIST_BY_ID;
            if (key_is_on(state, SectionId::SubChannels, KeyId::LogListByCU))
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
    // Bounded: the host may have ended a thread in the middle of logging; its files are then left
    // to the system.
    std::unique_lock hold(log_lock(), std::defer_lock);
    if (!hold.try_lock_until(std::chrono::steady_clock::now() + std::chrono::seconds(2)))
        return 0;
    return exit_unlocked();
}
