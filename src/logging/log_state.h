// The logger's state, its writers and filters, and the seams through which tests drive it.
// Log_Init, Log_Exit and Log_Message (log.h) are what the rest of the library calls.
#pragma once

#include "support/timed_lock.h"

#include "config/config_table.h"
#include "logging/ini.h"
#include "logging/log.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

enum LogMode : uint32_t {
    LOG_OFF = 0,
    LOG_ON = 1,
    LOG_ALL = 2,
    LOG_NOTIFICATIONS_ONLY = 3,
    LOG_COMMANDS_RESPONSES = 4,
    LOG_ENCLOSED_FILTER = 5,
    LOG_EXCLOSED_FILTER = 6,
};

constexpr int LOG_FILTER_SLOTS = orma_config::FILTER_EXPRESSIONS;
constexpr int LOG_FILTER_BYTES = orma_config::FILTER_BYTES; // per expression
constexpr uint8_t LOG_WILDCARD_BYTE = 0xEE;
constexpr uint32_t LOG_LIST_BY_ID = 1;
constexpr uint32_t LOG_LIST_BY_CU = 2;

// One prefix pattern of a channel's filter. Empty while bytes is null; filled slots come first.
struct FilterExpression {
    const uint8_t* bytes;  // into the channel's pool
    uint16_t length;       // 0 to 8
    uint32_t mask;         // bit k: byte k matches any message byte
    uint16_t count;        // wildcards in the mask
};

struct LogChannel {
    LogMode mode;
    std::FILE* file;
    FilterExpression filter[LOG_FILTER_SLOTS];
    uint8_t pool[LOG_FILTER_SLOTS * LOG_FILTER_BYTES];
    uint32_t list_options; // sub-channel channel: LOG_LIST_BY_ID, LOG_LIST_BY_CU
    // The file's name, its bound ("MaxSize" in KB; 0: none) and the bytes written into it so far.
    std::string name;
    uint64_t max_bytes;
    uint64_t size;
    bool size_known; // false until the first message: the set-up wrote through the stream
};

struct LogState {
    IniDict* config;
    LogChannel general;
    LogChannel error;
    LogChannel fsi;
    LogChannel subchannels;
    int32_t last_flush; // calendar seconds, 0 until the first flush
};

// The active state, or null while nothing is configured.
LogState* Log_State();

int32_t Log_ReadConfig(LogState* state);
void Log_DumpConfig(const char* config_file);
void Log_Flush();

int32_t Log_WriteGeneral(LogState* state, const uint8_t* message, uint16_t length);
int32_t Log_WriteError(LogState* state, const uint8_t* message, uint16_t length);
int32_t Log_WriteMessage(std::FILE* file, const uint8_t* message, uint16_t length);

int32_t Log_ParseFilter(LogState* state, const char* key, LogChannel* channel);
// The parser behind Log_ParseFilter, given the configured value itself (null: absent).
int32_t log_parse_filter_value(const char* value, const char* key, LogChannel* channel);
int32_t Log_PruneErrorFilter(LogState* state);
void Log_RemoveFilterExpression(FilterExpression* slots, uint32_t index);
int32_t Log_MatchFilter(const FilterExpression* slots, const uint8_t* message, uint16_t length);

int32_t Log_TrackSubChannels(LogState* state, const uint8_t* message, uint16_t length);

// One message's output is built in full and then written at once, so that the size bound and
// a failed write are judged per message.
void log_append(std::string& out, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// Writes the text into the channel's file. A text that would take the file past its bound
// renames the file with the suffix ".1" (replacing an older one) and starts a new one first. A
// file that cannot be written (disk full, file removed) is reported once, with one line on
// standard error naming it, and closed: that channel stops, the others go on.
void log_channel_write(LogChannel& channel, const std::string& text);
// Flushes the channel's file and stops it like log_channel_write when that fails.
void log_channel_flush(LogChannel& channel);
// Closes the channel's file, reporting the last lines that could not be written.
void log_channel_close(LogChannel& channel);
// The log line of one message, as Log_WriteMessage writes it.
void log_format_message(std::string& out, const uint8_t* message, uint16_t length);

// Per-OS: false when the name no longer leads to the open file (it was removed or replaced).
bool log_os_still_there(std::FILE* file, const char* name);
// Per-OS: the bytes that the text takes in a file opened in text mode.
size_t log_os_bytes_on_disk(const std::string& text);

// Time sources: calendar seconds for the flush rule and the restart banner, and the conversion
// of those seconds to the local date and time of the banner. Null restores the system's own.
using LogClockFn = int64_t (*)();
using LogLocalTimeFn = bool (*)(int64_t seconds, std::tm* out);
void Log_SetClock(LogClockFn now, LogLocalTimeFn local_time);

// The system's conversion to local time (per-OS).
bool log_os_local_time(int64_t seconds, std::tm* out);

// Shared by the logger's own files: the lock held by Log_Init, Log_Exit and each Log_Message,
// and the current calendar time from the clock in use.
#include <mutex>
TimedLock& log_lock();
int64_t log_now();
