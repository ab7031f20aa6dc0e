// Log writers and filter expressions: which messages each mode selects, the log line, the
// parsing of expressions with their limits and diagnostics, and matching.
#include "log_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {


class LogFilter : public LogTest {
protected:
    // Starts the logger with one section; the body of the channel's file after the dump is
    // what the test compares.
    int32_t start(const std::string& section, const std::string& mode, const std::string& filter = "",
                  bool with_filter = false)
    {
        file_ = section == "ORMA_GENERAL" ? "filter_gen.txt" : "filter_err.txt";
        std::string ini = "[" + section + "]\nLogging = " + mode + "\nFile = " + file_ + "\n";
        if (with_filter)
            ini += "Filter = " + filter + "\n";
        write_file("filter.ini", ini);
        return Log_Init("filter.ini");
    }

    // The file's lines that are not part of the dump.
    std::string lines()
    {
        Log_Exit();
        const std::string text = read_text_file(file_);
        const size_t dump = text.find("\nConfiguration data of file");
        if (dump == std::string::npos)
            return text;
        // last key line, section end, dump end, the two closing line ends
        const size_t end = text.find("\n\n\n\n\n", dump);
        return text.substr(0, dump) + text.substr(end + 5);
    }

    const LogChannel& general() { return Log_State()->general; }
    const LogChannel& error() { return Log_State()->error; }

    std::string file_;
};

TEST_F(LogFilter, LineShowsEveryByteInLowerCaseHex)
{
    ASSERT_EQ(start("ORMA_GENERAL", "ALL"), 1);
    log_bytes({0xF0});
    log_bytes({0xF0, 0x0A});
    Bytes all(255);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(i);
    log_bytes(all);
    std::string long_line = "[";
    char item[8];
    for (int i = 0; i < 255; ++i) {
        std::snprintf(item, sizeof item, " 0x%02x", i);
        long_line += item;
    }
    EXPECT_EQ(lines(), "[ 0xf0 ]\n[ 0xf0 0x0a ]\n" + long_line + " ]\n");
}

TEST_F(LogFilter, WriteMessageNeedsAFileAndAMessage)
{
    const uint8_t msg[] = {0x01, 0x02};
    EXPECT_EQ(Log_WriteMessage(nullptr, msg, 2), 0);
    std::FILE* f = std::fopen("write_message.txt", "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(Log_WriteMessage(f, nullptr, 2), 0);
    EXPECT_EQ(Log_WriteMessage(f, msg, 2), 2);
    std::fclose(f);
    EXPECT_EQ(read_text_file("write_message.txt"), "[ 0x01 0x02 ]\n");
}

TEST_F(LogFilter, GeneralModesSelectByMessageClass)
{
    const Bytes codes = {0x05, 0x3F, 0x40, 0x7F, 0x80, 0xBF, 0xC0, 0xF0, 0xFF};
    struct Case {
        const char* mode;
        std::string expected;
    } cases[] = {
        {"ALL", "[ 0x05 ]\n[ 0x3f ]\n[ 0x40 ]\n[ 0x7f ]\n[ 0x80 ]\n[ 0xbf ]\n[ 0xc0 ]\n[ 0xf0 ]\n[ 0xff ]\n"},
        {"NOTIFICATIONS_ONLY", "[ 0xc0 ]\n[ 0xf0 ]\n[ 0xff ]\n"},
        {"COMMANDS_RESPONSES", "[ 0x40 ]\n[ 0x7f ]\n[ 0x80 ]\n[ 0xbf ]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        ASSERT_EQ(start("ORMA_GENERAL", c.mode), 1);
        for (uint8_t code : codes) {
            const bool logged = log_bytes({code}) == 1;
            EXPECT_EQ(logged, c.expected.find(std::string("0x") + "0123456789abcdef"[code >> 4] +
                                              "0123456789abcdef"[code & 15]) != std::string::npos);
        }
        EXPECT_EQ(lines(), c.expected);
    }
}

TEST_F(LogFilter, ErrorChannelInAllModeTakesErrorNotificationsOnly)
{
    write_file("both.ini", "[ORMA_GENERAL]\nLogging=ALL\nFile=both_gen.txt\n[ORMA_ERROR]\nLogging=ALL\nFile=both_err.txt\n");
    ASSERT_EQ(Log_Init("both.ini"), 1);
    for (const Bytes& m : {Bytes{0xF0, 0x01}, Bytes{0xF1}, Bytes{0x70}, Bytes{0xF0}})
        log_bytes(m);
    // Writers on their own: -1 when not selected, the length when written.
    LogState* s = Log_State();
    const uint8_t f1 = 0xF1, f0 = 0xF0;
    EXPECT_EQ(Log_WriteError(s, &f1, 1), -1);
    EXPECT_EQ(Log_WriteError(s, &f0, 0), 0);
    EXPECT_EQ(Log_WriteError(nullptr, &f0, 1), -1);
    EXPECT_EQ(Log_WriteGeneral(s, nullptr, 1), -1);
    Log_Exit();
    const std::string gen = read_text_file("both_gen.txt");
    const std::string err = read_text_file("both_err.txt");
    EXPECT_EQ(gen.substr(gen.rfind("\n\n\n") + 3), "[ 0xf0 0x01 ]\n[ 0xf1 ]\n[ 0x70 ]\n[ 0xf0 ]\n");
    EXPECT_EQ(err.substr(err.rfind("\n\n\n") + 3), "[ 0xf0 0x01 ]\n[ 0xf0 ]\n");
}

TEST_F(LogFilter, ExpressionsAreParsedIntoSlotsAndPool)
{
    ASSERT_EQ(start("ORMA_GENERAL", "ENCLOSED_FILTER", "F0 01 x, 0x1f  X5, x 05 ,,, 1F0 g 7", true), 1);
    const LogChannel& ch = general();
    ASSERT_NE(ch.filter[0].bytes, nullptr);
    EXPECT_EQ(ch.filter[0].bytes, ch.pool);
    EXPECT_EQ(ch.filter[0].length, 3);
    EXPECT_EQ(ch.filter[0].mask, 0x4u);
    EXPECT_EQ(ch.filter[0].count, 1);
    EXPECT_EQ(ch.filter[1].bytes, ch.pool + 3);
    EXPECT_EQ(ch.filter[1].length, 2); // an upper-case X is passed over, 5 read after it
    EXPECT_EQ(ch.filter[1].count, 0);
    EXPECT_EQ(ch.filter[2].bytes, ch.pool + 5);
    EXPECT_EQ(ch.filter[2].mask, 0x1u);
    EXPECT_EQ(ch.filter[3].bytes, ch.pool + 7);
    EXPECT_EQ(ch.filter[3].length, 2); // junk between items is passed over
    EXPECT_EQ(ch.filter[4].bytes, nullptr);
    const Bytes pool(ch.pool, ch.pool + 9);
    EXPECT_EQ(pool, (Bytes{0xF0, 0x01, 0xEE, 0x1F, 0x05, 0xEE, 0x05, 0xF0, 0x07}));
    EXPECT_EQ(lines(), "");
}

TEST_F(LogFilter, AnyRunOfBlanksSeparatesTwoItems)
{
    ASSERT_EQ(start("ORMA_GENERAL", "ENCLOSED_FILTER", "\"F0  01,F1   02\t \t03, \t0x0a\"", true), 1);
    const LogChannel& ch = general();
    EXPECT_EQ(ch.filter[0].length, 2);
    EXPECT_EQ(ch.filter[1].length, 3);
    EXPECT_EQ(ch.filter[2].length, 1);
    EXPECT_EQ(Bytes(ch.pool, ch.pool + 6), (Bytes{0xF0, 0x01, 0xF1, 0x02, 0x03, 0x0A}));
}

TEST_F(LogFilter, EightExpressionsOfEightBytesNeedNoDiagnostic)
{
    std::string filter;
    for (int e = 0; e < 8; ++e)
        filter += std::string(e ? "," : "") + "0" + std::to_string(e) + " 1 2 3 4 5 6 x";
    ASSERT_EQ(start("ORMA_GENERAL", "ENCLOSED_FILTER", filter, true), 1);
    for (int e = 0; e < 8; ++e) {
        EXPECT_EQ(general().filter[e].length, 8);
        EXPECT_EQ(general().filter[e].mask, 0x80u);
        EXPECT_EQ(general().filter[e].bytes, general().pool + 8 * e);
    }
    EXPECT_EQ(log_bytes({0x07, 1, 2, 3, 4, 5, 6, 0x99}), 1);
    EXPECT_EQ(log_bytes({0x07, 1, 2, 3, 4, 5, 6}), 0); // shorter than the expression
    EXPECT_EQ(lines(), "[ 0x07 0x01 0x02 0x03 0x04 0x05 0x06 0x99 ]\n");
}

TEST_F(LogFilter, NinthExpressionIsDroppedWithADiagnostic)
{
    ASSERT_EQ(start("ORMA_GENERAL", "ENCLOSED_FILTER", "01,02,03,04,05,06,07,08,09,0A", true), 1);
    EXPECT_EQ(general().filter[7].length, 1);
    EXPECT_EQ(log_bytes({0x08}), 1);
    EXPECT_EQ(log_bytes({0x09}), 0);
    EXPECT_EQ(lines(), "ERROR: To many filter expressions in config file (Key \"ORMA_GENERAL:Filter\"). "
                       "Only 8 are supported!\n"
                       "[ 0x08 ]\n");
}

TEST_F(LogFilter, NinthByteIsDroppedWithADiagnostic)
{
    ASSERT_EQ(start("ORMA_ERROR", "ENCLOSED_FILTER", "F0 1 2 3 4 5 6 7 8 9 , F0 x x x x x x x x  ", true), 1);
    EXPECT_EQ(error().filter[0].length, 8);
    EXPECT_EQ(error().filter[1].length, 8);
    EXPECT_EQ(error().filter[1].count, 7);
    EXPECT_EQ(log_bytes({0xF0, 1, 2, 3, 4, 5, 6, 7}), 1);
    EXPECT_EQ(lines(), "ERROR: Length of filter expression \"F0 1 2 3 4 5 6 7 8 9 \" (Key \"ORMA_ERROR:Filter\") is "
                       "unsupported. Filter expression will be reduced to 8 bytes.\n"
                       "ERROR: Length of filter expression \"F0 x x x x x x x x\" (Key \"ORMA_ERROR:Filter\") is "
                       "unsupported. Filter expression will be reduced to 8 bytes.\n"
                       "[ 0xf0 0x01 0x02 0x03 0x04 0x05 0x06 0x07 ]\n");
}

TEST_F(LogFilter, WildcardsMatchAnyByteAtTheirPosition)
{
    ASSERT_EQ(start("ORMA_GENERAL", "ENCLOSED_FILTER", "x 05, F0 01 x", true), 1);
    EXPECT_EQ(log_bytes({0x33, 0x05}), 1);
    EXPECT_EQ(log_bytes({0xEE, 0x05, 0x77}), 1);
    EXPECT_EQ(log_bytes({0x05}), 0);
    EXPECT_EQ(log_bytes({0x33, 0x06}), 0);
    EXPECT_EQ(log_bytes({0xF0, 0x01}), 0);
    EXPECT_EQ(log_bytes({0xF0, 0x01, 0x00}), 1);
    EXPECT_EQ(log_bytes({0xF0, 0x02, 0x00}), 0);
    EXPECT_EQ(lines(), "[ 0x33 0x05 ]\n[ 0xee 0x05 0x77 ]\n[ 0xf0 0x01 0x00 ]\n");
}

TEST_F(LogFilter, ExclosedGeneralLogsWhatNoExpressionMatches)
{
    ASSERT_EQ(start("ORMA_GENERAL", "EXCLOSED_FILTER", "C1, 05 x", true), 1);
    EXPECT_EQ(log_bytes({0xC1, 0x00}), 0);
    EXPECT_EQ(log_bytes({0x05}), 1);
    EXPECT_EQ(log_bytes({0x05, 0x01}), 0);
    EXPECT_EQ(lines(), "[ 0x05 ]\n");
}

TEST_F(LogFilter, ErrorFilterKeepsOnlyErrorNotificationExpressions)
{
    ASSERT_EQ(start("ORMA_ERROR", "ENCLOSED_FILTER", "0xC1 0x02, 0xF0 0x05", true), 1);
    EXPECT_EQ(error().filter[0].bytes[1], 0x05);
    EXPECT_EQ(error().filter[1].bytes, nullptr);
    EXPECT_EQ(log_bytes({0xC1, 0x02}), 0);
    EXPECT_EQ(log_bytes({0xF0, 0x05, 0x01}), 1);
    EXPECT_EQ(log_bytes({0xF0, 0x06}), 0);
    EXPECT_EQ(lines(), "[ 0xf0 0x05 0x01 ]\n");
}

TEST_F(LogFilter, PruningRemovesBlankAndWildcardLedExpressions)
{
    ASSERT_EQ(start("ORMA_ERROR", "ENCLOSED_FILTER", "\"x 01, F0 01,  , C0, F0 x 03, zz\"", true), 1);
    const LogChannel& ch = error();
    EXPECT_EQ(ch.filter[0].length, 2);
    EXPECT_EQ(ch.filter[1].length, 3);
    EXPECT_EQ(ch.filter[1].mask, 0x2u);
    for (int i = 2; i < 8; ++i)
        EXPECT_EQ(ch.filter[i].bytes, nullptr) << i;
    EXPECT_EQ(Log_PruneErrorFilter(Log_State()), 1);
    EXPECT_EQ(ch.filter[1].length, 3);
}

TEST_F(LogFilter, ErrorFilterWithNoErrorExpressionEndsEmpty)
{
    ASSERT_EQ(start("ORMA_ERROR", "EXCLOSED_FILTER", "C1, 05", true), 1);
    EXPECT_EQ(error().filter[0].bytes, nullptr);
    EXPECT_EQ(Log_PruneErrorFilter(Log_State()), 0);
    EXPECT_EQ(log_bytes({0xF0, 0x05}), 1);
    EXPECT_EQ(log_bytes({0xC1}), 0);
    EXPECT_EQ(lines(), "[ 0xf0 0x05 ]\n");
}

TEST_F(LogFilter, ParseFilterRefusesAbsentOrEmptyValues)
{
    ASSERT_EQ(start("ORMA_GENERAL", "ALL"), 1);
    LogChannel ch{};
    EXPECT_EQ(Log_ParseFilter(Log_State(), "ORMA_GENERAL:Filter", &ch), 0);
    EXPECT_EQ(ch.filter[0].bytes, nullptr);
    EXPECT_EQ(Log_ParseFilter(nullptr, "ORMA_GENERAL:Filter", &ch), 0);
    EXPECT_EQ(Log_ParseFilter(Log_State(), "ORMA_GENERAL:Logging", &ch), 1); // "ALL": junk but an item
    EXPECT_EQ(ch.filter[0].length, 1); // "A" read as a number, "LL" passed over with it
    EXPECT_EQ(ch.pool[0], 0x0A);
}

FilterExpression slot(const uint8_t* bytes, uint16_t length, uint32_t mask = 0)
{
    uint16_t count = 0;
    for (uint32_t m = mask; m; m >>= 1)
        count = static_cast<uint16_t>(count + (m & 1));
    return FilterExpression{bytes, length, mask, count};
}

TEST(LogFilterSlots, RemoveShiftsTheFollowingSlotsForward)
{
    static const uint8_t pool[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    FilterExpression slots[8];
    for (int i = 0; i < 8; ++i)
        slots[i] = slot(pool + i, 1, static_cast<uint32_t>(i));
    Log_RemoveFilterExpression(slots, 8);
    EXPECT_EQ(slots[7].bytes, pool + 7);
    Log_RemoveFilterExpression(slots, 2);
    EXPECT_EQ(slots[1].bytes, pool + 1);
    EXPECT_EQ(slots[2].bytes, pool + 3);
    EXPECT_EQ(slots[2].mask, 3u);
    EXPECT_EQ(slots[2].count, 2);
    EXPECT_EQ(slots[6].bytes, pool + 7);
    EXPECT_EQ(slots[7].bytes, nullptr);
    EXPECT_EQ(slots[7].length, 0);
    Log_RemoveFilterExpression(slots, 7);
    EXPECT_EQ(slots[6].bytes, pool + 7);
}

TEST(LogFilterSlots, MatchNeedsAFilledSlotNoLongerThanTheMessage)
{
    static const uint8_t pool[4] = {0xF0, 0xEE, 0x03, 0x00};
    const uint8_t msg[] = {0xF0, 0x77, 0x03, 0x10};
    FilterExpression slots[8] = {};
    EXPECT_EQ(Log_MatchFilter(slots, msg, 4), 0); // empty filter
    slots[0] = slot(pool, 0);                    // blank expression
    slots[1] = slot(pool, 3, 0x2);
    EXPECT_EQ(Log_MatchFilter(slots, msg, 4), 1);
    EXPECT_EQ(Log_MatchFilter(slots, msg, 3), 1);
    EXPECT_EQ(Log_MatchFilter(slots, msg, 2), 0);
    EXPECT_EQ(Log_MatchFilter(slots, msg, 0), 0);
    EXPECT_EQ(Log_MatchFilter(slots, nullptr, 4), 0);
    slots[1] = slot(pool, 3); // without the wildcard, 0xEE must be in the message
    EXPECT_EQ(Log_MatchFilter(slots, msg, 4), 0);
    const uint8_t literal[] = {0xF0, 0xEE, 0x03};
    EXPECT_EQ(Log_MatchFilter(slots, literal, 3), 1);
}

} // namespace
