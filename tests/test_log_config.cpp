// Log configuration: which files the INI file creates, the restart banner, the configuration
// dump, channels that cannot be set up, flushing, and whole lines under two threads.
#include "log_test_support.h"
#include "logging/options_ini.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>
#include <regex>
#include <thread>

// Allocations above 100 bytes fail while a test asks for it: the filter value below is longer,
// the keys and values that the INI readers look up are shorter. Every form of new and delete of
// the program is replaced, so that they stay pairs.
namespace {
std::atomic<bool> g_fail_big_allocations{false};
void* allocate(std::size_t size) noexcept
{
    return g_fail_big_allocations && size > 100 ? nullptr : std::malloc(size ? size : 1);
}
void* allocate_or_throw(std::size_t size)
{
    void* p = allocate(size);
    return p ? p : throw std::bad_alloc();
}
} // namespace
void* operator new(std::size_t size) { return allocate_or_throw(size); }
void* operator new[](std::size_t size) { return allocate_or_throw(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// One line of the dump body: the key left-aligned in 30 columns.
std::string row(const std::string& key, const std::string& value)
{
    return key + std::string(key.size() < 30 ? 30 - key.size() : 0, ' ') + " = " + value + "\n";
}

const std::string BANNER = "\n\n  ===== RESTARTED Quillmarsh =====  Sat Dec 05 17:21:06 2026\n";
const char* const DEFAULT_FILES[] = {"ORMA_Notifications.txt", "ORMA_ErrNotifications.txt",
                                     "ORMA_FSINotifications.txt", "ORMA_CfgSubChannels.txt"};

class LogConfig : public LogTest {};

TEST_F(LogConfig, MissingOrUnreadableConfigurationIsReportedAndNothingIsLogged)
{
    write_file("broken.ini", "[ORMA_GENERAL]\nLogging = ALL\nthis line is not a key\n");
    remove_file(DEFAULT_FILES[0]);
    for (const std::string name : {"absent.ini", "broken.ini"}) {
        StdoutCapture out;
        out.start();
        testing::internal::CaptureStderr();
        EXPECT_EQ(Log_Init(name.c_str()), 0);
        EXPECT_NE(testing::internal::GetCapturedStderr().find(name), std::string::npos); // the reader's own line
        EXPECT_EQ(out.stop(), "Unable to open configuration file \"" + name + "\"\n");
        EXPECT_EQ(log_bytes({0xF0, 0x01}), 0);
        EXPECT_EQ(Log_Exit(), 0);
        EXPECT_FALSE(file_exists(DEFAULT_FILES[0]));
    }
}

// Every file begins with the same dump; the first message that a channel takes flushes all four.
TEST_F(LogConfig, AllFourChannelsGetTheDumpTheirMessagesAndTheFlush)
{
    write_file("all.ini", "[ORMA_GENERAL]\nLogging = all\nFile = gen.txt\n\n[ORMA_ERROR]\nLogging = ALL\n"
                          "File = err.txt\nStartup = On\n\n[ORMA_FSI]\nLogging = on\nFile = fsi.txt\n\n"
                          "[ORMA_CONFIGURED_SUBCHANNELS]\nLogging = ON\nFile = sub.txt\nLogListById = ON\n");
    ASSERT_EQ(Log_Init("all.ini"), 1);
    const std::string dump = dump_of(
        "all.ini", "\n[orma_general]\n" + row("logging", "all") + row("file", "gen.txt") + "\n\n[orma_error]\n" +
                       row("logging", "ALL") + row("file", "err.txt") + row("startup", "On") + "\n\n[orma_fsi]\n" +
                       row("logging", "on") + row("file", "fsi.txt") + "\n\n[orma_configured_subchannels]\n" +
                       row("logging", "ON") + row("file", "sub.txt") + row("loglistbyid", "ON") + "\n\n");
    EXPECT_EQ(log_bytes({0x05}), 1);
    const char* const files[] = {"gen.txt", "err.txt", "fsi.txt", "sub.txt"};
    const std::string flushed[] = {dump + "[ 0x05 ]\n", BANNER + dump, dump, dump};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(read_text_file(files[i]), flushed[i]) << files[i] << " was not flushed";
    EXPECT_EQ(log_bytes({0xF0, 0x0A}), 1);
    EXPECT_EQ(log_bytes({0xC1, 0xFF, 0x00}), 1);
    EXPECT_EQ(Log_Exit(), 1);
    EXPECT_EQ(read_text_file("gen.txt"), dump + "[ 0x05 ]\n[ 0xf0 0x0a ]\n[ 0xc1 0xff 0x00 ]\n");
    EXPECT_EQ(read_text_file("err.txt"), BANNER + dump + "[ 0xf0 0x0a ]\n");
    EXPECT_EQ(read_text_file("fsi.txt"), dump);
}

TEST_F(LogConfig, SampleConfigurationSetsUpAllFourChannels)
{
    write_file("ORMA_DLL_Log.ini", read_text_file(ORMA_SAMPLE_LOG_CONFIG));
    ASSERT_EQ(Log_Init("ORMA_DLL_Log.ini"), 1);
    EXPECT_EQ(Log_State()->subchannels.list_options, LOG_LIST_BY_ID | LOG_LIST_BY_CU);
    EXPECT_EQ(log_bytes({0xF0, 0x01}), 1);
    Log_Exit();
    const std::string fsi = read_text_file("ORMA_FSINotifications.txt");
    EXPECT_EQ(fsi.rfind("\nConfiguration data of file \"ORMA_DLL_Log.ini\":\n\n[orma_general]\n", 0), 0u);
    EXPECT_EQ(read_text_file("ORMA_Notifications.txt"), fsi + "[ 0xf0 0x01 ]\n");
    EXPECT_EQ(read_text_file("ORMA_ErrNotifications.txt"), BANNER + fsi + "[ 0xf0 0x01 ]\n");
    EXPECT_EQ(read_text_file("ORMA_CfgSubChannels.txt"), fsi);
}

// A channel that cannot be set up stays off (a file it created stays empty), the channels after
// it are not read and nothing is dumped. Each case logs F0 02, C0 09 and 05.
TEST_F(LogConfig, ChannelThatCannotBeSetUpStaysOffAndEndsTheReading)
{
    const std::string all = "[ 0xf0 0x02 ]\n[ 0xc0 0x09 ]\n[ 0x05 ]\n";
    const auto absent = std::nullopt;
    const struct {
        std::string ini;
        int32_t result;
        std::vector<std::pair<const char*, std::optional<std::string>>> files;
        std::string err;
    } cases[] = {
        {"[ORMA_GENERAL]\nFile = t_g.txt\n[ORMA_ERROR]\nStartup = ON\n[ORMA_FSI]\n", 1, // no Logging key: fine
         {{"t_g.txt", absent}, {DEFAULT_FILES[0], absent}, {DEFAULT_FILES[1], absent}, {DEFAULT_FILES[2], absent}}, ""},
        {"[ORMA_ERROR]\nLogging = Off\nFile = t_e.txt\nStartup = ON\n", 1, {{"t_e.txt", absent}}, ""},
        {"[orma_general]\nlogging = verbose\nfile = t_g.txt\n[ORMA_ERROR]\nLogging = ALL\nFile = t_e.txt\n", 0,
         {{"t_g.txt", ""}, {"t_e.txt", absent}}, ""},
        {"[ORMA_GENERAL]\nLogging =\nFile = t_g.txt\n", 0, {{"t_g.txt", ""}}, ""},
        {"[ORMA_ERROR]\nLogging = NOTIFICATIONS_ONLY\nFile = t_e.txt\nStartup = ON\n[ORMA_FSI]\nLogging = ON\nFile = t_f.txt\n",
         0, {{"t_e.txt", ""}, {"t_f.txt", absent}}, ""},
        {"[ORMA_ERROR]\nLogging = COMMANDS_RESPONSES\nFile = t_e.txt\n", 0, {{"t_e.txt", ""}}, ""},
        {"[ORMA_ERROR]\nLogging = ON\nFile = t_e.txt\n", 0, {{"t_e.txt", ""}}, ""},
        {"[ORMA_FSI]\nLogging = ALL\nFile = t_f.txt\n[ORMA_CONFIGURED_SUBCHANNELS]\nLogging = ON\nFile = t_s.txt\n", 0,
         {{"t_f.txt", ""}, {"t_s.txt", absent}}, ""},
        {"[ORMA_CONFIGURED_SUBCHANNELS]\nLogging = All\nFile = t_s.txt\n", 0, {{"t_s.txt", ""}}, ""},
        {"[ORMA_GENERAL]\nLogging = ALL\nFile = no_such_dir/g.txt\n[ORMA_FSI]\nLogging = ON\nFile = t_f.txt\n", 0,
         {{"t_f.txt", absent}}, "ERROR: Unable to create file \"no_such_dir/g.txt\"\n"},
        {"[ORMA_GENERAL]\nLogging = ALL\nFile = t_g.txt\n[ORMA_ERROR]\nLogging = ALL\nFile = no_such_dir/e.txt\n", 0,
         {{"t_g.txt", all}}, "ERROR: Unable to create file \"no_such_dir/e.txt\"\n"},
        {"[ORMA_GENERAL]\nLogging = ENCLOSED_FILTER\nFile = t_g.txt\n[ORMA_ERROR]\nLogging = ALL\nFile = t_e.txt\n", 0,
         {{"t_g.txt", ""}, {"t_e.txt", absent}}, ""}, // no filter: nothing matches
        {"[ORMA_GENERAL]\nLogging = EXCLOSED_FILTER\nFilter =\nFile = t_g.txt\n", 0, {{"t_g.txt", all}}, ""},
        {"[ORMA_ERROR]\nLogging = EXCLOSED_FILTER\nFilter = ,,,\nFile = t_e.txt\nStartup = ON\n[ORMA_FSI]\nLogging = ON\n", 0,
         {{"t_e.txt", BANNER + "[ 0xf0 0x02 ]\n"}, {DEFAULT_FILES[2], absent}}, ""},
    };
    for (const auto& c : cases) {
        for (const auto& file : c.files)
            remove_file(file.first);
        write_file("t.ini", c.ini);
        testing::internal::CaptureStderr();
        EXPECT_EQ(Log_Init("t.ini"), c.result) << c.ini;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.ini;
        for (const Bytes& m : {Bytes{0xF0, 0x02}, Bytes{0xC0, 0x09}, Bytes{0x05}})
            log_bytes(m);
        Log_Exit();
        for (const auto& [name, content] : c.files) {
            EXPECT_EQ(file_exists(name), content.has_value()) << c.ini << name;
            EXPECT_EQ(read_text_file(name), content.value_or("")) << c.ini << name;
        }
    }
}

// Memory that runs out while a channel's configuration is read turns that channel off; the host
// goes on.
TEST_F(LogConfig, FailedAllocationWhileReadingTurnsTheChannelOff)
{
    write_file("nomem.ini", "[ORMA_GENERAL]\nLogging = ENCLOSED_FILTER\nFile = nomem.txt\nFilter = " +
                                std::string(120, '1') + "\n[ORMA_FSI]\nLogging = ON\n");
    ASSERT_EQ(Log_Init("nomem.ini"), 1);
    LogState again{};
    again.config = Log_State()->config;
    g_fail_big_allocations = true;
    const int32_t result = Log_ReadConfig(&again);
    g_fail_big_allocations = false;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(again.general.mode, LOG_OFF);
    EXPECT_EQ(again.general.file, nullptr);
    EXPECT_EQ(again.fsi.file, nullptr); // not read
    EXPECT_EQ(Log_Exit(), 1);
}

TEST_F(LogConfig, BannerUsesTheSystemLocalTimeInTheFixedLayout)
{
    Log_SetClock(fake_clock, nullptr);
    g_fake_seconds = 1764955266; // a Friday or Saturday, depending on the zone
    write_file("banner.ini", "[ORMA_ERROR]\nLogging=ALL\nFile=banner.txt\nStartup=ON\n");
    ASSERT_EQ(Log_Init("banner.ini"), 1);
    Log_Exit();
    const std::string text = read_text_file("banner.txt");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        text, m, std::regex("^\n\n  ===== RESTARTED Quillmarsh =====  (Fri|Sat) Dec 0[56] \\d\\d:\\d\\d:\\d\\d 2025\n")))
        << text;
}

// Without a name the default file is read; modes ignore case, file names keep it; the dump's
// header holds long names.
TEST_F(LogConfig, DefaultFileCaseAndLongNames)
{
    write_file("config_orma_log.ini", "[orma_general]\nLOGGING = Commands_Responses\nfile = MixedCase_Gen.Log\n");
    ASSERT_EQ(Log_Init(nullptr), 1);
    EXPECT_EQ(log_bytes({0x40}), 1);
    EXPECT_EQ(log_bytes({0xC0}), 0);
    const std::string name(300, 'n');
    Log_DumpConfig(name.c_str());
    Log_Exit();
    const std::string body = "\n[orma_general]\n" + row("logging", "Commands_Responses") + row("file", "MixedCase_Gen.Log") + "\n\n";
    EXPECT_EQ(read_text_file("MixedCase_Gen.Log"), dump_of("config_orma_log.ini", body) + "[ 0x40 ]\n" + dump_of(name, body));
}

// The files are buffered; what is on disk shows whether a flush happened.
TEST_F(LogConfig, FlushFollowsTheFirstSelectedMessageThenAtMostOnceIn11Seconds)
{
    write_file("flush.ini", "[ORMA_GENERAL]\nLogging = NOTIFICATIONS_ONLY\nFile = flush.txt\n");
    ASSERT_EQ(Log_Init("flush.ini"), 1);
    const std::string dump =
        dump_of("flush.ini", "\n[orma_general]\n" + row("logging", "NOTIFICATIONS_ONLY") + row("file", "flush.txt") + "\n\n");
    const struct {
        int64_t now;
        uint8_t code;
        const char* on_disk; // after the dump
    } steps[] = {
        {5000, 0xC1, "c1"},       {5005, 0xC2, "c1"}, {5010, 0xC3, "c1"},
        {5030, 0x05, "c1"}, // not selected: no flush
        {5031, 0xC4, "c1c2c3c4"}, {5041, 0xC6, "c1c2c3c4"}, {5042, 0xC5, "c1c2c3c4c6c5"}, // 11 s after
    };
    for (const auto& s : steps) {
        g_fake_seconds = s.now;
        log_bytes({s.code});
        std::string lines;
        for (const char* p = s.on_disk; *p; p += 2)
            lines += std::string("[ 0x") + p[0] + p[1] + " ]\n";
        EXPECT_EQ(read_text_file("flush.txt"), dump + lines) << s.now;
    }
    // An empty message takes no line but counts as taken; a missing one is refused.
    EXPECT_EQ(Log_Message(Bytes{0xF0}.data(), 0), 1);
    EXPECT_EQ(Log_Message(nullptr, 3), 0);
}

// Lines from two threads never interleave.
TEST_F(LogConfig, ConcurrentCallersWriteWholeLines)
{
    write_file("threads.ini", "[ORMA_GENERAL]\nLogging = ALL\nFile = threads.txt\n");
    ASSERT_EQ(Log_Init("threads.ini"), 1);
    auto writer = [](uint8_t code) {
        for (int i = 0; i < 2000; ++i)
            log_bytes(Bytes(200, code));
    };
    std::thread a(writer, 0x81), b(writer, 0xC2);
    a.join();
    b.join();
    Log_Exit();
    const std::string text = read_text_file("threads.txt");
    const std::string lines[] = {log_line(Bytes(200, 0x81)), log_line(Bytes(200, 0xC2))};
    size_t count[2] = {0, 0};
    for (size_t at = text.find("\n[ 0x") + 1; at < text.size(); at += lines[0].size()) {
        const int which = text.compare(at, lines[0].size(), lines[0]) == 0 ? 0 : 1;
        ASSERT_EQ(text.compare(at, lines[which].size(), lines[which]), 0) << "mixed line at " << at;
        ++count[which];
    }
    EXPECT_TRUE(count[0] == 2000u && count[1] == 2000u) << count[0] << " and " << count[1];
}

// The [ORMA_LINK] settings come from the same file at every Log_Init: each key's value, values
// that are passed over (reported, the default kept), and every default without the file.
TEST_F(LogConfig, LinkSettingsAreReadAtEveryStart)
{
    struct Case {
        const char* section;
        uint32_t timeout;
        bool reconnect;
        bool split;
        int problems;
    };
    const Case cases[] = {
        {"", 5000, true, false, 0},
        {"ResponseTimeout = 0\nReconnect = off\nSplitLongMessages = On\n", 0, false, true, 0},
        {"responsetimeout = 250\nRECONNECT = ON\nSplitLongMessages = OFF\n", 250, true, false, 0},
        {"ResponseTimeout = -1\nReconnect = yes\nSplitLongMessages = 1\n", 5000, true, false, 3},
        {"ResponseTimeout = 2s\n", 5000, true, false, 1},
        {"ResponseTimeout = 86400001\n", 5000, true, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.section);
        write_file("link.ini", std::string("[ORMA_LINK]\n") + c.section);
        options_set(OrmaOptions{1, false, true}); // what an earlier start left
        Log_Init("link.ini");
        const OrmaOptions now = options_current();
        EXPECT_EQ(now.response_timeout_ms, c.timeout);
        EXPECT_EQ(now.reconnect, c.reconnect);
        EXPECT_EQ(now.split_long_messages, c.split);
        IniDict* dict = ini_load("link.ini");
        int problems = 0;
        options_read(dict, [](const char*, const char*, void* n) { ++*static_cast<int*>(n); }, &problems);
        ini_free(dict);
        EXPECT_EQ(problems, c.problems);
        Log_Exit();
    }
    options_set(OrmaOptions{1, false, true});
    testing::internal::CaptureStdout();
    Log_Init("absent.ini");
    testing::internal::GetCapturedStdout();
    const OrmaOptions none = options_current();
    EXPECT_EQ(none.response_timeout_ms, 5000u);
    EXPECT_TRUE(none.reconnect);
    EXPECT_FALSE(none.split_long_messages);
}

} // namespace
