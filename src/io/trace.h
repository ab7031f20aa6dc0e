// Trace categories of the device-side classes and the labelled hex dump of their traffic.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr uint32_t TRACE_METHODS = 1;        // one line on entry to selected operations
constexpr uint32_t TRACE_THREAD = 2;         // nothing is printed under it
constexpr uint32_t TRACE_HOST_TO_DEVICE = 4; // hex dump of every block sent to the device ("S")
constexpr uint32_t TRACE_DEVICE_TO_HOST = 8; // hex dump of every block received ("R")

constexpr int TRACE_NAME_WIDTH = 23; // the longest name; the others are blank-filled to it
constexpr int TRACE_CATEGORY_COUNT = 4;

struct TraceCategory {
    uint32_t mask;
    char name[TRACE_NAME_WIDTH + 1];
};

extern const TraceCategory TRACE_CATEGORIES[TRACE_CATEGORY_COUNT];

// Prints the bytes to the console, bytes_per_line to a line, each line led by the label and the
// offset. Nothing at all for null data or a length of 0.
void HexDump(const uint8_t* data, uint32_t length, int32_t bytes_per_line, const char* label);
// The same into any stream.
void HexDumpTo(FILE* out, const uint8_t* data, uint32_t length, int32_t bytes_per_line, const char* label);
