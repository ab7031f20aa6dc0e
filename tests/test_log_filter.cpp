// Log writers and filter expressions: which messages each mode and filter selects, the log line,
// and the diagnostics of filters beyond their limits.
#include "log_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class LogFilter : public LogTest {};

// Each case starts one channel with its mode and filter and logs the messages: after the dump,
// its file holds the diagnostics and then the messages it took.
TEST_F(LogFilter, ModesAndFiltersSelectTheirMessages)
{
    const struct {
        const char* section;
        const char* mode;
        const char* filter; // null: no Filter key
        std::vector<std::pair<Bytes, bool>> messages; // and whether the channel takes it
        std::string diagnostics;
    } cases[] = {
        {"GENERAL", "ALL", nullptr, {{{0x05}, 1}, {{0x3F}, 1}, {{0x40}, 1}, {{0x80}, 1}, {{0xC0}, 1}, {{0xFF}, 1}}, ""},
        {"GENERAL", "NOTIFICATIONS_ONLY", nullptr, {{{0x3F}, 0}, {{0x40}, 0}, {{0xBF}, 0}, {{0xC0}, 1}, {{0xFF}, 1}}, ""},
        {"GENERAL", "COMMANDS_RESPONSES", nullptr,
         {{{0x3F}, 0}, {{0x40}, 1}, {{0x7F}, 1}, {{0x80}, 1}, {{0xBF}, 1}, {{0xC0}, 0}}, ""},
        {"ERROR", "ALL", nullptr, {{{0xF0, 0x01}, 1}, {{0xF1}, 0}, {{0x70}, 0}, {{0xF0}, 1}}, ""},
        // Wildcards; an upper-case X, like any other junk, is passed over; numbers keep their low byte.
        {"GENERAL", "ENCLOSED_FILTER", "F0 01 x, 0x1f  X5, x 05 ,,, 1F0 g 7",
         {{{0xF0, 0x01, 0x77}, 1}, {{0xF0, 0x01}, 0}, {{0x1F, 0x05}, 1}, {{0x1F, 0x06}, 0}, {{0x33, 0x05}, 1},
          {{0xEE, 0x05}, 1}, {{0x05}, 0}, {{0xF0, 0x07}, 1}, {{0xF0, 0x08}, 0}}, ""},
        {"GENERAL", "ENCLOSED_FILTER", "\"F0  01,F1   02\t \t03, \t0x0a\"", // any run of blanks
         {{{0xF0, 0x01}, 1}, {{0xF1, 0x02, 0x03}, 1}, {{0xF1, 0x02}, 0}, {{0x0A, 0x00}, 1}}, ""},
        {"GENERAL", "ENCLOSED_FILTER", "00 1 2 3 4 5 6 x,01 1 2 3 4 5 6 x,02 1 2 3 4 5 6 x,03 1 2 3 4 5 6 x,"
                                       "04 1 2 3 4 5 6 x,05 1 2 3 4 5 6 x,06 1 2 3 4 5 6 x,07 1 2 3 4 5 6 x",
         {{{0x07, 1, 2, 3, 4, 5, 6, 0x99}, 1}, {{0x07, 1, 2, 3, 4, 5, 6}, 0}}, ""},
        {"GENERAL", "ENCLOSED_FILTER", "01,02,03,04,05,06,07,08,09,0A", {{{0x08}, 1}, {{0x09}, 0}},
         "ERROR: To many filter expressions in config file (Key \"ORMA_GENERAL:Filter\"). Only 8 are supported!\n"},
        {"ERROR", "ENCLOSED_FILTER", "F0 1 2 3 4 5 6 7 8 9 , F0 x x x x x x x x  ", {{{0xF0, 1, 2, 3, 4, 5, 6, 7}, 1}},
         "ERROR: Length of filter expression \"F0 1 2 3 4 5 6 7 8 9 \" (Key \"ORMA_ERROR:Filter\") is unsupported. "
         "Filter expression will be reduced to 8 bytes.\n"
         "ERROR: Length of filter expression \"F0 x x x x x x x x\" (Key \"ORMA_ERROR:Filter\") is unsupported. "
         "Filter expression will be reduced to 8 bytes.\n"},
        {"GENERAL", "EXCLOSED_FILTER", "C1, 05 x", {{{0xC1, 0x00}, 0}, {{0x05}, 1}, {{0x05, 0x01}, 0}}, ""},
        // The error channel keeps only the expressions that begin with F0.
        {"ERROR", "ENCLOSED_FILTER", "0xC1 0x02, 0xF0 0x05", {{{0xC1, 0x02}, 0}, {{0xF0, 0x05, 0x01}, 1}, {{0xF0, 0x06}, 0}}, ""},
        {"ERROR", "ENCLOSED_FILTER", "\"x 01, F0 01,  , C0, F0 x 03, zz\"",
         {{{0xF0, 0x01}, 1}, {{0xF0, 0x77, 0x03}, 1}, {{0x33, 0x01}, 0}, {{0xC0}, 0}, {{0xF0, 0x02}, 0}}, ""},
        {"ERROR", "EXCLOSED_FILTER", "C1, 05", {{{0xF0, 0x05}, 1}, {{0xC1}, 0}}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section) + " " + c.mode + " " + (c.filter ? c.filter : ""));
        write_file("filter.ini", std::string("[ORMA_") + c.section + "]\nLogging = " + c.mode + "\nFile = filter.txt\n" +
                                     (c.filter ? std::string("Filter = ") + c.filter + "\n" : ""));
        ASSERT_EQ(Log_Init("filter.ini"), 1);
        std::string expected = c.diagnostics;
        for (const auto& [message, taken] : c.messages) {
            EXPECT_EQ(log_bytes(message), taken ? 1 : 0) << log_line(message);
            expected += taken ? log_line(message) : "";
        }
        Log_Exit();
        const std::string text = read_text_file("filter.txt");
        const size_t dump = text.find("\nConfiguration data of file");
        ASSERT_NE(dump, std::string::npos);
        EXPECT_EQ(text.substr(0, dump) + text.substr(text.find("\n\n\n\n\n", dump) + 5), expected);
    }
}

// A line longer than the writer's buffer; a filter value that is absent is refused, any other is
// read as far as it goes.
TEST_F(LogFilter, LongLinesAndOddFilterValues)
{
    write_file("writers.ini", "[ORMA_GENERAL]\nLogging = ALL\nFile = writers.txt\n");
    ASSERT_EQ(Log_Init("writers.ini"), 1);
    Bytes all(255);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(log_bytes(all), 1);
    LogChannel ch{};
    EXPECT_EQ(Log_ParseFilter(Log_State(), "ORMA_GENERAL:Filter", &ch), 0);
    EXPECT_EQ(Log_ParseFilter(Log_State(), "ORMA_GENERAL:Logging", &ch), 1); // "ALL": the A is a number
    EXPECT_EQ(Log_MatchFilter(ch.filter, Bytes{0x0A, 0x00}.data(), 2), 1);
    Log_Exit();
    const std::string text = read_text_file("writers.txt");
    EXPECT_EQ(text.substr(text.size() - log_line(all).size()), log_line(all));
}

} // namespace
