#include "io/trace.h"

const TraceCategory TRACE_CATEGORIES[TRACE_CATEGORY_COUNT] = {
    {TRACE_METHODS, "methods                "},
    {TRACE_THREAD, "thread                 "},
    {TRACE_HOST_TO_DEVICE, "host-to-device messages"},
    {TRACE_DEVICE_TO_HOST, "device-to-host messages"},
};

namespace {

void dump_chars(FILE* out, const uint8_t* bytes, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        std::fputc(bytes[i] >= 0x20 && bytes[i] <= 0x7F ? bytes[i] : '.', out);
}

void dump_line(FILE* out, const char* label, uint32_t offset, const uint8_t* bytes, uint32_t count, uint32_t per_line)
{
    std::fprintf(out, "\n%s:%04x:", label, static_cast<unsigned>(offset));
    for (uint32_t i = 0; i < count; ++i)
        std::fprintf(out, " %02x", bytes[i]);
    for (uint32_t i = count; i < per_line; ++i)
        std::fputs("   ", out);
    std::fputs(" : ", out);
    dump_chars(out, bytes, count);
}

} // namespace

void HexDumpTo(FILE* out, const uint8_t* data, uint32_t length, int32_t bytes_per_line, const char* label)
{
    if (!label)
        label = "";
    if (!data || length == 0 || bytes_per_line <= 0)
        return;
    const auto per_line = static_cast<uint32_t>(bytes_per_line);
    const uint32_t full = length / per_line;
    const uint32_t rest = length % per_line;
    for (uint32_t line = 0; line < full; ++line)
        dump_line(out, label, line * per_line, data + line * per_line, per_line, per_line);
    if (rest)
        dump_line(out, label, full * per_line, data + full * per_line, rest, per_line);
    std::fputs("\n", out);
}

void HexDump(const uint8_t* data, uint32_t length, int32_t bytes_per_line, const char* label)
{
    HexDumpTo(stdout, data, length, bytes_per_line, label);
}
