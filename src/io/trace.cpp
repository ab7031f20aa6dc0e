#include "io/trace.h"
#include "support/console.h"

#include <cstdio>
#include <string>

const TraceCategory TRACE_CATEGORIES[TRACE_CATEGORY_COUNT] = {
    {TRACE_METHODS, "methods                "},
    {TRACE_THREAD, "thread                 "},
    {TRACE_HOST_TO_DEVICE, "host-to-device messages"},
    {TRACE_DEVICE_TO_HOST, "device-to-host messages"},
};

namespace {

void dump_line(std::string& out, const char* label, uint32_t offset, const uint8_t* bytes, uint32_t count,
               uint32_t per_line)
{
    char cell[16];
    std::snprintf(cell, sizeof cell, ":%04x:", static_cast<unsigned>(offset));
    out += '\n';
    out += label;
    out += cell;
    for (uint32_t i = 0; i < count; ++i) {
        std::snprintf(cell, sizeof cell, " %02x", bytes[i]);
        out += cell;
    }
    for (uint32_t i = count; i < per_line; ++i)
        out += "   ";
    out += " : ";
    for (uint32_t i = 0; i < count; ++i)
        out += static_cast<char>(bytes[i] >= 0x20 && bytes[i] <= 0x7F ? bytes[i] : '.');
}

std::string dump_text(const uint8_t* data, uint32_t length, int32_t bytes_per_line, const char* label)
{
    std::string out;
    if (!label)
        label = "";
    if (!data || length == 0 || bytes_per_line <= 0)
        return out;
    const auto per_line = static_cast<uint32_t>(bytes_per_line);
    const uint32_t full = length / per_line;
    const uint32_t rest = length % per_line;
    for (uint32_t line = 0; line < full; ++line)
        dump_line(out, label, line * per_line, data + line * per_line, per_line, per_line);
    if (rest)
        dump_line(out, label, full * per_line, data + full * per_line, rest, per_line);
    out += '\n';
    return out;
}

} // namespace

void HexDumpTo(FILE* out, const uint8_t* data, uint32_t length, int32_t bytes_per_line, const char* label)
{
    const std::string text = dump_text(data, length, bytes_per_line, label);
    std::fwrite(text.data(), 1, text.size(), out);
}

// The console's dump goes where every console line goes.
void HexDump(const uint8_t* data, uint32_t length, int32_t bytes_per_line, const char* label)
{
    const std::string text = dump_text(data, length, bytes_per_line, label);
    if (!text.empty())
        console_print(ConsoleStream::Out, "%s", text.c_str());
}
