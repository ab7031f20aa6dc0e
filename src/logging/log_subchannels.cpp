// Sub-channel configuration tracker: decodes the module's sub-channel notifications (E0 46),
// keeps the latest configuration word of each of the 64 sub-channels and prints the table of
// the configured ones after every notification. A message with code 0x42 empties the table.
#include "logging/log_state.h"

#include <algorithm>
#include <array>
#include <string>

namespace {

constexpr uint8_t SUBCH_NOTIFICATION = 0xE0;
constexpr uint8_t SUBCH_NOTIFICATION_KIND = 0x46;
constexpr uint8_t SUBCH_RESET = 0x42;
constexpr uint16_t SUBCH_NOTIFICATION_LENGTH = 10; // code, kind, word, time
constexpr int SUBCH_COUNT = 64;
constexpr uint32_t CIF_CAPACITY_UNITS = 864; // the table by start CU lists these only

// Kept across Log_Init and Log_Exit: only the reset message clears it.
std::array<uint32_t, SUBCH_COUNT> g_table{};
const std::string CLOSING_RULE(90, '-');

struct SubChannel {
    uint32_t id, efc, switch_on, start_cu, protection, eep, size;
};

SubChannel decode(uint32_t word)
{
    return SubChannel{word & 0x3F,          (word >> 6) & 1,  (word >> 7) & 1, (word >> 8) & 0x3FF,
                      (word >> 18) & 0x7,   (word >> 21) & 1, (word >> 22) & 0x3FF};
}

uint32_t read_big_endian32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

bool listed(uint32_t word)
{
    return (word >> 7) & 1;
}

void write_row(std::string& out, const SubChannel& s, long time_ms)
{
    log_append(out, "SubChId: %3d |", static_cast<int>(s.id));
    log_append(out, "Start CU: %3d...%3d (Sz: %3d) |", static_cast<int>(s.start_cu),
                 static_cast<int>(s.start_cu + s.size) - 1, static_cast<int>(s.size));
    log_append(out, "EEP: %3d |", static_cast<int>(s.eep));
    log_append(out, "ProtLev: %3d |", static_cast<int>(s.protection));
    log_append(out, "EFC Flg: %3d |", static_cast<int>(s.efc));
    log_append(out, "Time: %8ld ms\n", time_ms);
}

} // namespace

int32_t Log_TrackSubChannels(LogState* state, const uint8_t* message, uint16_t length)
{
    if (!state || !message || length < 3 || state->subchannels.mode != LOG_ON || !state->subchannels.file)
        return -1;
    std::string out;

    if (message[0] == SUBCH_NOTIFICATION && message[1] == SUBCH_NOTIFICATION_KIND) {
        if (length < SUBCH_NOTIFICATION_LENGTH)
            return -1; // no complete word and time: not recorded
        const uint32_t word = read_big_endian32(message + 2);
        const long time_ms = static_cast<long>(static_cast<int32_t>(read_big_endian32(message + 6)));
        const SubChannel s = decode(word);

        log_append(out, "Time: %8ld ms |", time_ms);
        log_append(out, "SubChId: %3d |", static_cast<int>(s.id));
        log_append(out, "SwitchOn: %3d |", static_cast<int>(s.switch_on));
        log_append(out, "Start CU: %3d |", static_cast<int>(s.start_cu));
        log_append(out, "Size CUs: %3d |", static_cast<int>(s.size));
        log_append(out, "EEP: %3d |", static_cast<int>(s.eep));
        log_append(out, "ProtLev: %3d |", static_cast<int>(s.protection));
        log_append(out, "EFC Flg: %3d\n", static_cast<int>(s.efc));

        g_table[s.id] = word;

        if (state->subchannels.list_options & LOG_LIST_BY_ID) {
            log_append(out, " ========== Current Config (by sub_ch_id) ====\n");
            for (uint32_t w : g_table)
                if (listed(w))
                    write_row(out, decode(w), time_ms);
        }
        if (state->subchannels.list_options & LOG_LIST_BY_CU) {
            log_append(out, " ========== Current Config (by start CU)  ====\n");
            std::array<SubChannel, SUBCH_COUNT> rows{};
            size_t n = 0;
            for (uint32_t w : g_table) {
                const SubChannel row = decode(w);
                if (listed(w) && row.start_cu < CIF_CAPACITY_UNITS)
                    rows[n++] = row;
            }
            // Rows are collected in id order; a stable sort keeps that order within one start CU.
            std::stable_sort(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(n),
                             [](const SubChannel& a, const SubChannel& b) { return a.start_cu < b.start_cu; });
            for (size_t i = 0; i < n; ++i)
                write_row(out, rows[i], time_ms);
        }
        log_append(out, " %s\n", CLOSING_RULE.c_str());
        log_channel_write(state->subchannels, out);
    } else if (message[0] == SUBCH_RESET) {
        g_table.fill(0);
    }
    return -1;
}
