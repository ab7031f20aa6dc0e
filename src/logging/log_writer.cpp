// Log writers: which channel records a message, the log line, the filter expressions, and the
// flush that follows a recorded message at most once in 11 seconds.
#include "config/config_table.h"
#include "logging/log_state.h"
#include "support/console.h"
#include "support/message.h"
#include "support/rotate.h"

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int64_t FLUSH_INTERVAL_S = 10; // flush when more than this has passed

bool channel_filter_matches(const LogChannel& ch, const uint8_t* message, uint16_t length)
{
    return Log_MatchFilter(ch.filter, message, length) == 1;
}

} // namespace

void log_format_message(std::string& out, const uint8_t* message, uint16_t length)
{
    static const char digits[] = "0123456789abcdef";
    out.reserve(out.size() + 4 + 5 * size_t{length});
    out += '[';
    for (uint16_t i = 0; i < length; ++i) {
        const char item[5] = {' ', '0', 'x', digits[message[i] >> 4], digits[message[i] & 0x0F]};
        out.append(item, sizeof item);
    }
    out += " ]\n";
}

int32_t Log_WriteMessage(std::FILE* file, const uint8_t* message, uint16_t length)
{
    if (!file || !message)
        return 0;
    std::string line;
    log_format_message(line, message, length);
    std::fwrite(line.data(), 1, line.size(), file);
    return length;
}

void log_append(std::string& out, const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0)
        out.append(text, std::min(static_cast<size_t>(n), sizeof text - 1));
}

namespace {

constexpr const char* CANNOT_WRITE = "cannot be written (disk full?)";

void report(const LogChannel& ch, const char* why)
{
    console_print(ConsoleStream::Err, "ORMA_DLL: log file \"%s\" %s: no more logging into it\n", ch.name.c_str(), why);
}

// Reported once: the file is closed and the channel logs nothing more until the next Init.
void stop_channel(LogChannel& ch, const char* why)
{
    report(ch, why);
    std::fclose(ch.file);
    ch.file = nullptr;
    ch.mode = LOG_OFF;
}

bool write_failed(LogChannel& ch)
{
    if (!std::ferror(ch.file))
        return false;
    stop_channel(ch, CANNOT_WRITE);
    return true;
}

// The file as it is goes to "<name>.1"; a new, empty file of the name takes its place.
void rotate(LogChannel& ch)
{
    ch.file = file_rotate(ch.file, ch.name, "w");
    ch.size = 0;
    if (!ch.file) {
        report(ch, "cannot be started again after it reached its MaxSize");
        ch.mode = LOG_OFF;
    }
}

} // namespace

void log_channel_write(LogChannel& ch, const std::string& text)
{
    if (!ch.file || text.empty())
        return;
    if (!ch.size_known) {
        const long at = std::ftell(ch.file);
        ch.size = at > 0 ? static_cast<uint64_t>(at) : 0;
        ch.size_known = true;
    }
    const size_t bytes = log_os_bytes_on_disk(text);
    if (ch.max_bytes && ch.size > 0 && ch.size + bytes > ch.max_bytes) {
        rotate(ch);
        if (!ch.file)
            return;
    }
    std::fwrite(text.data(), 1, text.size(), ch.file);
    ch.size += bytes;
    write_failed(ch);
}

void log_channel_close(LogChannel& ch)
{
    if (ch.file && std::fclose(ch.file) != 0) // the last lines did not reach the disk
        report(ch, CANNOT_WRITE);
    ch.file = nullptr;
}

void log_channel_flush(LogChannel& ch)
{
    if (!ch.file)
        return;
    if (std::fflush(ch.file) != 0 || std::ferror(ch.file)) {
        stop_channel(ch, CANNOT_WRITE);
        return;
    }
    if (!log_os_still_there(ch.file, ch.name.c_str()))
        stop_channel(ch, "was removed");
}

// Writes the message into the channel's file when `selected` takes it: -1 without a message or
// a state and for a message not taken, 0 for a length of 0, else what Log_WriteMessage gives.
template <typename Select>
int32_t write_selected(LogState* state, LogChannel LogState::*channel, const uint8_t* message, uint16_t length,
                       Select selected)
{
    if (!state || !message)
        return -1;
    if (length == 0)
        return 0;
    LogChannel& ch = state->*channel;
    if (!selected(ch))
        return -1;
    if (!ch.file)
        return 0;
    std::string line;
    log_format_message(line, message, length);
    log_channel_write(ch, line);
    return length;
}

int32_t Log_WriteGeneral(LogState* state, const uint8_t* message, uint16_t length)
{
    return write_selected(state, &LogState::general, message, length, [&](const LogChannel& ch) {
        switch (ch.mode) {
        case LOG_ALL:
            return true;
        case LOG_NOTIFICATIONS_ONLY:
            return msg_is_notification(message[0]);
        case LOG_COMMANDS_RESPONSES:
            return msg_is_command_or_response(message[0]);
        case LOG_ENCLOSED_FILTER:
            return channel_filter_matches(ch, message, length);
        case LOG_EXCLOSED_FILTER:
            return !channel_filter_matches(ch, message, length);
        default:
            return false;
        }
    });
}

int32_t Log_WriteError(LogState* state, const uint8_t* message, uint16_t length)
{
    return write_selected(state, &LogState::error, message, length, [&](const LogChannel& ch) {
        const bool error_code = message[0] == MSG_ERROR_NOTIFICATION;
        switch (ch.mode) {
        case LOG_ALL:
            return error_code;
        case LOG_ENCLOSED_FILTER:
            return channel_filter_matches(ch, message, length);
        case LOG_EXCLOSED_FILTER:
            return error_code && !channel_filter_matches(ch, message, length);
        default:
            return false;
        }
    });
}

int32_t Log_Message(const uint8_t* message, uint16_t length)
{
    std::lock_guard hold(log_lock());
    LogState* state = Log_State();
    if (!state || !message)
        return 0;

    int32_t result = 0;
    if (length == 0) {
        result = 1;
    } else {
        if (state->general.mode != LOG_OFF && Log_WriteGeneral(state, message, length) >= 0)
            result = 1;
        if (state->error.mode != LOG_OFF && Log_WriteError(state, message, length) >= 0)
            result = 1;
        if (state->subchannels.mode != LOG_OFF)
            Log_TrackSubChannels(state, message, length);
    }
    if (result != 1)
        return 0;

    const int64_t now = log_now();
    if (now - state->last_flush > FLUSH_INTERVAL_S) {
        state->last_flush = static_cast<int32_t>(now);
        Log_Flush();
    }
    return 1;
}

int32_t Log_ParseFilter(LogState* state, const char* key, LogChannel* channel)
{
    if (!state || !key || !channel)
        return 0;
    return log_parse_filter_value(ini_get(state->config, key), key, channel);
}

int32_t log_parse_filter_value(const char* value, const char* key, LogChannel* channel)
{
    if (!value || !key || !channel)
        return 0;
    const orma_config::Filter filter = orma_config::parse_filter(value);
    if (filter.given == 0)
        return 0;
    if (filter.given > LOG_FILTER_SLOTS && channel->file)
        std::fprintf(channel->file,
                     "ERROR: To many filter expressions in config file (Key \"%s\"). Only %d are supported!\n", key,
                     LOG_FILTER_SLOTS);

    for (FilterExpression& slot : channel->filter)
        slot = FilterExpression{};
    size_t pos = 0;
    for (size_t i = 0; i < filter.expressions.size(); ++i) {
        const orma_config::FilterExpression& e = filter.expressions[i];
        const auto length = static_cast<uint16_t>(e.bytes.size());
        channel->filter[i] = FilterExpression{channel->pool + pos, length, e.wildcards,
                                              static_cast<uint16_t>(std::popcount(e.wildcards))};
        for (uint16_t k = 0; k < length; ++k)
            channel->pool[pos++] = (e.wildcards & (1u << k)) ? LOG_WILDCARD_BYTE : e.bytes[k];
        if (e.cut && channel->file)
            std::fprintf(channel->file,
                         "ERROR: Length of filter expression \"%s\" (Key \"%s\") is unsupported. "
                         "Filter expression will be reduced to %d bytes.\n",
                         e.text.c_str(), key, LOG_FILTER_BYTES);
    }
    return 1;
}

int32_t Log_PruneErrorFilter(LogState* state)
{
    if (!state)
        return 0;
    FilterExpression* slots = state->error.filter;
    if (!slots[0].bytes)
        return 0;
    const int first = orma_config::key(orma_config::SectionId::Error, orma_config::KeyId::Filter).first_byte;
    uint32_t i = 0;
    while (i < LOG_FILTER_SLOTS && slots[i].bytes) {
        if (slots[i].length == 0 || slots[i].bytes[0] != first)
            Log_RemoveFilterExpression(slots, i);
        else
            ++i;
    }
    return 1;
}

void Log_RemoveFilterExpression(FilterExpression* slots, uint32_t index)
{
    if (!slots || index >= LOG_FILTER_SLOTS)
        return;
    for (uint32_t i = index; i + 1 < LOG_FILTER_SLOTS; ++i)
        slots[i] = slots[i + 1];
    slots[LOG_FILTER_SLOTS - 1] = FilterExpression{};
}

int32_t Log_MatchFilter(const FilterExpression* slots, const uint8_t* message, uint16_t length)
{
    if (!slots || !message || length == 0)
        return 0;
    for (int s = 0; s < LOG_FILTER_SLOTS; ++s) {
        const FilterExpression& f = slots[s];
        if (!f.bytes || f.length == 0 || f.length > length)
            continue;
        bool match = true;
        if (f.count == 0) {
            match = std::memcmp(f.bytes, message, f.length) == 0;
        } else {
            for (uint16_t k = 0; k < f.length && match; ++k)
                if (!(f.mask & (1u << k)) && f.bytes[k] != message[k])
                    match = false;
        }
        if (match)
            return 1;
    }
    return 0;
}
