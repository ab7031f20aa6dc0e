// Log files over time: the MaxSize bound with its rotation to ".1", and files that cannot be
// written any more (disk full, removed), which stop alone and are reported once.
#include "console_capture.h"
#include "log_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

class LogFiles : public LogTest {};

#if defined(_WIN32)
constexpr bool ON_WINDOWS = true;
constexpr long LINE_END = 2; // text mode writes CR LF
#else
constexpr bool ON_WINDOWS = false;
constexpr long LINE_END = 1;
#endif

long size_of(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return -1;
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    return size;
}

// A sub-channel notification for id `id` at `ms`, switched on, 12 CUs from CU `id * 12`.
std::vector<uint8_t> subchannel(uint32_t id, uint32_t ms)
{
    const uint32_t word = id | (1u << 7) | ((id * 12) << 8) | (12u << 22);
    return {0xE0, 0x46, uint8_t(word >> 24), uint8_t(word >> 16), uint8_t(word >> 8), uint8_t(word),
            uint8_t(ms >> 24), uint8_t(ms >> 16), uint8_t(ms >> 8), uint8_t(ms)};
}

TEST_F(LogFiles, MaxSizeRenamesTheFileAndStartsANewOneWithoutLosingALine)
{
    const struct {
        const char* ini;
        const char* file;
        long bound; // bytes; 0: none
    } cases[] = {
        {"[ORMA_GENERAL]\nLogging = ALL\nFile = gen.txt\nMaxSize = 1\n", "gen.txt", 1024},
        {"[ORMA_CONFIGURED_SUBCHANNELS]\nLogging = ON\nFile = sub.txt\nLogListById = ON\nmaxsize = 3\n", "sub.txt",
         3072},
        {"[ORMA_GENERAL]\nLogging = ALL\nFile = whole.txt\nMaxSize = none\n", "whole.txt", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string older = std::string(c.file) + ".1";
        write_file(older, "from an earlier run\n");
        write_file("bound.ini", c.ini);
        ASSERT_EQ(Log_Init("bound.ini"), 1);
        log_bytes({0x42, 0, 0}); // an empty sub-channel table
        for (uint32_t i = 0; i < 200; ++i) {
            log_bytes(subchannel(i % 8, i)); // a line of 54 bytes in the general file
            g_fake_seconds += 11;             // every message flushes
            if (c.bound) {
                EXPECT_LE(size_of(c.file), c.bound) << "after message " << i;
                EXPECT_LE(size_of(older), c.bound) << "after message " << i;
            }
        }
        Log_Exit();
        const std::string now = read_text_file(c.file);
        if (!c.bound) {
            EXPECT_GT(size_of(c.file), 10000); // no bound: the whole run in one file
            EXPECT_EQ(read_text_file(older), "from an earlier run\n");
            continue;
        }
        // The last message ends the new file; the renamed one ends with the message before
        // the first of the new file.
        const auto current = split(now);
        const auto previous = split(read_text_file(older));
        ASSERT_FALSE(current.empty());
        ASSERT_FALSE(previous.empty());
        EXPECT_NE(previous.front(), "from an earlier run");
        // A file moves to ".1" only when the next message's output would not fit in it: the
        // renamed file holds all it could, not that one message.
        const std::string head = current.front().substr(0, 6);
        long first_output = 0;
        for (size_t k = 0; k < current.size() && (k == 0 || current[k].rfind(head, 0) != 0); ++k)
            first_output += static_cast<long>(current[k].size()) + LINE_END;
        EXPECT_GT(size_of(older) + first_output, c.bound) << "the renamed file holds " << previous.size() << " lines";
        const std::string last = c.bound == 1024 ? log_line(subchannel(199 % 8, 199)) : " " + std::string(90, '-');
        EXPECT_EQ(current.back() + "\n", c.bound == 1024 ? last : last + "\n");
        if (c.bound == 1024) {
            uint32_t at = 0;
            while (at < 200 && log_line(subchannel(at % 8, at)) != previous.back() + "\n")
                ++at;
            ASSERT_LT(at, 199u);
            EXPECT_EQ(current.front() + "\n", log_line(subchannel((at + 1) % 8, at + 1)));
        } else {
            EXPECT_EQ(current.front().rfind("Time: ", 0), 0u) << "a notification's output was cut";
        }
    }
}

// MaxSize is in KiB, to the byte: a message that ends the file at the bound stays in it, one
// that would take it a byte past the bound starts the next file.
TEST_F(LogFiles, MaxSizeIsKibibytesToTheByte)
{
    const struct {
        const char* ini;
        long bound;
        long past; // bytes past the bound that the last message would take the file
    } cases[] = {
        {"[ORMA_GENERAL]\nLogging = ALL\nFile = kib.txt\nMaxSize = 1\n", 1024, 0},
        {"[ORMA_GENERAL]\nLogging = ALL\nFile = kib.txt\nMaxSize = 1\n", 1024, 1},
        {"[ORMA_ERROR]\nLogging = ALL\nFile = kib.txt\nMaxSize = 5\n", 5120, 0},
        {"[ORMA_ERROR]\nLogging = ALL\nFile = kib.txt\nMaxSize = 5\n", 5120, 1},
    };
    // The line of a message of n bytes takes 5 n bytes on disk and this many more.
    const long extra = static_cast<long>(log_line({0xF0}).size()) - 5 - 1 + LINE_END;
    const auto log_flushed = [](const std::vector<uint8_t>& message) {
        g_fake_seconds += 11;
        log_bytes(message);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini);
        SCOPED_TRACE(c.past);
        remove_file("kib.txt.1");
        // The configuration's dump opens the file. A note of 1 to 5 characters in it leaves
        // room that one line fills exactly (with CR LF every line takes a multiple of 5).
        long left = -1;
        for (size_t note = 1; note <= 5 && (left < 0 || (left - extra) % 5 != 0); ++note) {
            write_file("kib.ini", c.ini + ("Note = " + std::string(note, 'n') + "\n"));
            ASSERT_EQ(Log_Init("kib.ini"), 1);
            log_flushed({0xF0}); // the dump reaches the disk
            left = c.bound + c.past - size_of("kib.txt");
        }
        ASSERT_EQ((left - extra) % 5, 0);
        ASSERT_GE(left, 5 + extra);
        const long before = c.bound + c.past - left;
        const std::vector<uint8_t> last(static_cast<size_t>((left - extra) / 5), 0xF0);
        log_flushed(last);
        if (c.past == 0) {
            EXPECT_EQ(size_of("kib.txt"), c.bound);
            EXPECT_FALSE(file_exists("kib.txt.1"));
        } else {
            EXPECT_EQ(size_of("kib.txt.1"), before);
            EXPECT_EQ(size_of("kib.txt"), left); // the last line alone
        }
        Log_Exit();
    }
}

// The error file goes on while the general one has failed; one line names the failed file.
void expect_one_report(const ConsoleCapture& console, const std::string& file, const char* why)
{
    const std::string err = console.text(ConsoleStream::Err);
    const std::string line = "ORMA_DLL: log file \"" + file + "\" " + why;
    EXPECT_NE(err.find(line), std::string::npos) << err;
    EXPECT_EQ(err.find(line), err.rfind(line)) << "reported more than once: " << err;
    EXPECT_EQ(split(err).size(), 1u) << err;
    EXPECT_EQ(console.text(ConsoleStream::Out), "");
}

// A full disk is reported at the first flush, not only at the end; a removed file is not created
// again behind the user's back.
TEST_F(LogFiles, AFileThatCannotBeWrittenStopsAloneAndIsReportedOnce)
{
    const struct {
        const char* file;
        const char* why;
        bool remove;
    } cases[] = {{"/dev/full", "cannot be written", false}, {"gone.txt", "was removed", true}};
    for (const auto& c : cases) {
        if (c.remove ? ON_WINDOWS : !file_exists(c.file))
            continue; // no /dev/full here; an open file cannot be removed on Windows
        SCOPED_TRACE(c.file);
        ConsoleCapture console;
        write_file("failing.ini", std::string("[ORMA_GENERAL]\nLogging = ALL\nFile = ") + c.file +
                                      "\n\n[ORMA_ERROR]\nLogging = ALL\nFile = err.txt\n");
        ASSERT_EQ(Log_Init("failing.ini"), 1);
        std::string lines;
        for (int i = 0; i < 5; ++i) {
            log_bytes({0xF0, uint8_t(i)});
            lines += log_line({0xF0, uint8_t(i)});
            if (i == 0 && c.remove)
                remove_file(c.file);
            g_fake_seconds += 11;
        }
        expect_one_report(console, c.file, c.why);
        Log_Exit();
        Log_Exit();
        expect_one_report(console, c.file, c.why);
        EXPECT_NE(file_exists(c.file), c.remove);
        const std::string err = read_text_file("err.txt");
        EXPECT_EQ(err.substr(err.size() - std::min(err.size(), lines.size())), lines);
    }
}

} // namespace
