// Filter expressions: any configured value must parse into at most eight slots of at most
// eight bytes inside the channel's pool, and matching must stay inside the message.
#include "logging/log_state.h"
#include "support/message.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // First byte: how many of the following bytes form the message to match; the rest is the
    // configured value.
    if (size < 1)
        return 0;
    const size_t msg_len = data[0] % 16;
    if (size < 1 + msg_len)
        return 0;
    const std::vector<uint8_t> message(data + 1, data + 1 + msg_len);
    const std::string value(reinterpret_cast<const char*>(data + 1 + msg_len), size - 1 - msg_len);

    static std::FILE* sink = std::tmpfile(); // receives the diagnostics
    LogState state{};
    state.error.file = sink;
    const int32_t parsed = log_parse_filter_value(value.c_str(), "ORMA_ERROR:Filter", &state.error);

    const LogChannel& ch = state.error;
    bool seen_empty = false;
    size_t used = 0;
    for (const FilterExpression& f : ch.filter) {
        if (!f.bytes) {
            seen_empty = true;
            continue;
        }
        if (seen_empty || f.length > LOG_FILTER_BYTES || f.bytes != ch.pool + used)
            std::abort();
        if (__builtin_popcount(f.mask) != f.count || (f.mask >> f.length) != 0)
            std::abort();
        used += f.length;
    }
    if (parsed == 0 && ch.filter[0].bytes)
        std::abort();

    const int32_t before = Log_MatchFilter(ch.filter, message.data(), static_cast<uint16_t>(message.size()));
    Log_PruneErrorFilter(&state);
    for (const FilterExpression& f : ch.filter)
        if (f.bytes && (f.length == 0 || f.bytes[0] != MSG_ERROR_NOTIFICATION))
            std::abort();
    const int32_t after = Log_MatchFilter(ch.filter, message.data(), static_cast<uint16_t>(message.size()));
    if (after > before) // pruning only removes expressions
        std::abort();
    if (!message.empty() && Log_WriteError(&state, message.data(), static_cast<uint16_t>(message.size())) > 0 &&
        message[0] != MSG_ERROR_NOTIFICATION)
        std::abort();
    return 0;
}
