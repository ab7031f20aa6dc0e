// Log configuration: which files the INI file creates, the restart banner, the configuration
// dump, the diagnostics of bad values, the flush rule and whole lines under two threads.
#include "log_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace {

// One line of the dump body: the key left-aligned in 30 columns.
std::string row(const std::string& key, const std::string& value)
{
    return key + std::string(key.size() < 30 ? 30 - key.size() : 0, ' ') + " = " + value + "\n";
}

const char* const ALL_FOUR = "[ORMA_GENERAL]\n"
                             "Logging = all\n"
                             "File = gen.txt\n"
                             "\n"
                             "[ORMA_ERROR]\n"
                             "Logging = ALL\n"
                             "File = err.txt\n"
                             "Startup = On\n"
                             "\n"
                             "[ORMA_FSI]\n"
                             "Logging = on\n"
                             "File = fsi.txt\n"
                             "\n"
                             "[ORMA_CONFIGURED_SUBCHANNELS]\n"
                             "Logging = ON\n"
                             "File = sub.txt\n"
                             "LogListById = ON\n";

const std::string ALL_FOUR_BODY = "\n[orma_general]\n"
                                  "logging                        = all\n"
                                  "file                           = gen.txt\n"
                                  "\n"
                                  "\n[orma_error]\n"
                                  "logging                        = ALL\n"
                                  "file                           = err.txt\n"
                                  "startup                        = On\n"
                                  "\n"
                                  "\n[orma_fsi]\n"
                                  "logging                        = on\n"
                                  "file                           = fsi.txt\n"
                                  "\n"
                                  "\n[orma_configured_subchannels]\n"
                                  "logging                        = ON\n"
                                  "file                           = sub.txt\n"
                                  "loglistbyid                    = ON\n"
                                  "\n"
                                  "\n";

const std::string BANNER = "\n\n  ===== RESTARTED Quillmarsh =====  Sat Dec 05 17:21:06 2026\n";

const char* const DEFAULT_FILES[] = {"ORMA_Notifications.txt", "ORMA_ErrNotifications.txt",
                                     "ORMA_FSINotifications.txt", "ORMA_CfgSubChannels.txt"};

void remove_defaults()
{
    for (const char* f : DEFAULT_FILES)
        remove_file(f);
}

class LogConfig : public LogTest {};

TEST_F(LogConfig, MissingConfigurationFileIsReportedOnceAndNothingIsLogged)
{
    remove_defaults();
    StdoutCapture out;
    out.start();
    testing::internal::CaptureStderr();
    EXPECT_EQ(Log_Init("absent.ini"), 0);
    testing::internal::GetCapturedStderr(); // the INI reader's own line
    EXPECT_EQ(out.stop(), "Unable to open configuration file \"absent.ini\"\n");
    EXPECT_EQ(Log_State(), nullptr);
    EXPECT_EQ(log_bytes({0xF0, 0x01}), 0);
    for (const char* f : DEFAULT_FILES)
        EXPECT_FALSE(file_exists(f)) << f;
    EXPECT_EQ(Log_Exit(), 0);
}

TEST_F(LogConfig, WithoutANameTheDefaultConfigurationFileIsRead)
{
    write_file("config_orma_log.ini", "[ORMA_GENERAL]\nLogging=ALL\nFile=default_cfg.txt\n");
    EXPECT_EQ(Log_Init(nullptr), 1);
    EXPECT_EQ(Log_Exit(), 1);
    EXPECT_EQ(read_text_file("default_cfg.txt"),
              dump_of("config_orma_log.ini", "\n[orma_general]\n" + row("logging", "ALL") +
                                                 row("file", "default_cfg.txt") + "\n\n"));
    remove_file("config_orma_log.ini");
}

TEST_F(LogConfig, NoLoggingKeyCreatesNoFileAndSucceeds)
{
    remove_defaults();
    write_file("quiet.ini", "[ORMA_GENERAL]\nFile = g.txt\n[ORMA_ERROR]\nStartup = ON\n[ORMA_FSI]\n");
    EXPECT_EQ(Log_Init("quiet.ini"), 1);
    ASSERT_NE(Log_State(), nullptr);
    EXPECT_EQ(log_bytes({0xF0}), 0); // no channel selects anything
    EXPECT_EQ(Log_Exit(), 1);
    EXPECT_FALSE(file_exists("g.txt"));
    for (const char* f : DEFAULT_FILES)
        EXPECT_FALSE(file_exists(f)) << f;
}

TEST_F(LogConfig, AllFourChannelsGetTheSameDumpAndTheirMessages)
{
    write_file("all.ini", ALL_FOUR);
    ASSERT_EQ(Log_Init("all.ini"), 1);
    const LogState* s = Log_State();
    EXPECT_EQ(s->general.mode, LOG_ALL);
    EXPECT_EQ(s->error.mode, LOG_ALL);
    EXPECT_EQ(s->fsi.mode, LOG_ON);
    EXPECT_EQ(s->subchannels.mode, LOG_ON);
    EXPECT_EQ(s->subchannels.list_options, LOG_LIST_BY_ID);

    EXPECT_EQ(log_bytes({0x05}), 1);
    EXPECT_EQ(log_bytes({0xF0, 0x0A}), 1);
    EXPECT_EQ(log_bytes({0xC1, 0xFF, 0x00}), 1);
    EXPECT_EQ(Log_Exit(), 1);

    const std::string dump = dump_of("all.ini", ALL_FOUR_BODY);
    EXPECT_EQ(read_text_file("gen.txt"), dump + "[ 0x05 ]\n[ 0xf0 0x0a ]\n[ 0xc1 0xff 0x00 ]\n");
    EXPECT_EQ(read_text_file("err.txt"), BANNER + dump + "[ 0xf0 0x0a ]\n");
    EXPECT_EQ(read_text_file("fsi.txt"), dump);
    EXPECT_EQ(read_text_file("sub.txt"), dump);
}

TEST_F(LogConfig, BannerUsesTheSystemLocalTimeInTheFixedLayout)
{
    Log_SetClock(fake_clock, nullptr);
    g_fake_seconds = 1764955266; // a Friday or Saturday, depending on the zone
    write_file("banner.ini", "[ORMA_ERROR]\nLogging=ALL\nFile=banner.txt\nStartup=ON\n");
    ASSERT_EQ(Log_Init("banner.ini"), 1);
    Log_Exit();
    const std::string text = read_text_file("banner.txt");
    const std::regex banner("\n\n  ===== RESTARTED Quillmarsh =====  (Fri|Sat) Dec 0[56] \\d\\d:\\d\\d:\\d\\d 2025\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, banner)) << text;
    EXPECT_EQ(m.position(0), 0);
    EXPECT_EQ(m.length(0), 2 + 36 + 24 + 1); // 24 characters of date and time
}

TEST_F(LogConfig, ModeValuesIgnoreCaseAndFileNamesKeepIt)
{
    write_file("case.ini", "[orma_general]\nLOGGING = Commands_Responses\nfile = MixedCase_Gen.Log\n"
                           "[Orma_Error]\nlogging = exclosed_FILTER\nFilter = F0 01\nFILE = Err_Case.Log\n");
    ASSERT_EQ(Log_Init("case.ini"), 1);
    EXPECT_EQ(Log_State()->general.mode, LOG_COMMANDS_RESPONSES);
    EXPECT_EQ(Log_State()->error.mode, LOG_EXCLOSED_FILTER);
    Log_Exit();
    EXPECT_NE(read_text_file("MixedCase_Gen.Log"), "");
    EXPECT_NE(read_text_file("Err_Case.Log"), "");
}

TEST_F(LogConfig, UnknownGeneralModeLeavesAnEmptyFileAndStopsReading)
{
    write_file("verbose.ini", "[ORMA_GENERAL]\nLogging = verbose\nFile = verbose_gen.txt\n"
                              "[ORMA_ERROR]\nLogging = ALL\nFile = verbose_err.txt\nStartup = ON\n"
                              "[ORMA_FSI]\nLogging = ON\nFile = verbose_fsi.txt\n");
    remove_file("verbose_err.txt");
    remove_file("verbose_fsi.txt");
    EXPECT_EQ(Log_Init("verbose.ini"), 0);
    const LogState* s = Log_State();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->general.mode, LOG_OFF);
    EXPECT_EQ(s->general.file, nullptr);
    EXPECT_EQ(log_bytes({0xF0, 0x01}), 0);
    Log_Exit();
    EXPECT_TRUE(file_exists("verbose_gen.txt"));
    EXPECT_EQ(read_text_file("verbose_gen.txt"), "");
    EXPECT_FALSE(file_exists("verbose_err.txt"));
    EXPECT_FALSE(file_exists("verbose_fsi.txt"));
}

TEST_F(LogConfig, EmptyLoggingValueIsAnUnknownMode)
{
    write_file("empty.ini", "[ORMA_GENERAL]\nLogging =\nFile = empty_gen.txt\n");
    EXPECT_EQ(Log_Init("empty.ini"), 0);
    Log_Exit();
    EXPECT_EQ(read_text_file("empty_gen.txt"), "");
}

TEST_F(LogConfig, ErrorChannelOffWritesNoBannerAndNoFile)
{
    remove_file("off_err.txt");
    write_file("off.ini", "[ORMA_ERROR]\nLogging = Off\nFile = off_err.txt\nStartup = ON\n");
    EXPECT_EQ(Log_Init("off.ini"), 1);
    Log_Exit();
    EXPECT_FALSE(file_exists("off_err.txt"));
}

TEST_F(LogConfig, GeneralOnlyModesAreRefusedByTheErrorChannel)
{
    for (const char* mode : {"NOTIFICATIONS_ONLY", "COMMANDS_RESPONSES", "ON"}) {
        SCOPED_TRACE(mode);
        remove_file("refused_fsi.txt");
        write_file("refused.ini", std::string("[ORMA_ERROR]\nLogging = ") + mode +
                                      "\nFile = refused_err.txt\nStartup = ON\n"
                                      "[ORMA_FSI]\nLogging = ON\nFile = refused_fsi.txt\n");
        EXPECT_EQ(Log_Init("refused.ini"), 0);
        EXPECT_EQ(Log_State()->error.mode, LOG_OFF);
        Log_Exit();
        EXPECT_EQ(read_text_file("refused_err.txt"), ""); // closed before the banner step
        EXPECT_FALSE(file_exists("refused_fsi.txt"));
    }
}

TEST_F(LogConfig, OnOnlyChannelsRefuseOtherModes)
{
    write_file("fsi_all.ini", "[ORMA_FSI]\nLogging = ALL\nFile = fsi_all.txt\n"
                              "[ORMA_CONFIGURED_SUBCHANNELS]\nLogging = ON\nFile = fsi_all_sub.txt\n");
    remove_file("fsi_all_sub.txt");
    EXPECT_EQ(Log_Init("fsi_all.ini"), 0);
    Log_Exit();
    EXPECT_EQ(read_text_file("fsi_all.txt"), "");
    EXPECT_FALSE(file_exists("fsi_all_sub.txt"));

    write_file("sub_all.ini", "[ORMA_CONFIGURED_SUBCHANNELS]\nLogging = All\nFile = sub_all.txt\n");
    EXPECT_EQ(Log_Init("sub_all.ini"), 0);
    EXPECT_EQ(Log_State()->subchannels.mode, LOG_OFF);
    Log_Exit();
    EXPECT_EQ(read_text_file("sub_all.txt"), "");
}

TEST_F(LogConfig, UncreatableLogFileIsReportedAndStopsReading)
{
    write_file("nodir.ini", "[ORMA_GENERAL]\nLogging = ALL\nFile = no_such_dir/gen.txt\n"
                            "[ORMA_FSI]\nLogging = ON\nFile = nodir_fsi.txt\n");
    remove_file("nodir_fsi.txt");
    testing::internal::CaptureStderr();
    EXPECT_EQ(Log_Init("nodir.ini"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: Unable to create file \"no_such_dir/gen.txt\"\n");
    EXPECT_EQ(Log_State()->general.mode, LOG_OFF);
    EXPECT_EQ(log_bytes({0x05}), 0);
    Log_Exit();
    EXPECT_FALSE(file_exists("nodir_fsi.txt"));
}

TEST_F(LogConfig, UncreatableErrorFileKeepsTheGeneralChannelWithoutDump)
{
    write_file("noerr.ini", "[ORMA_GENERAL]\nLogging = ALL\nFile = noerr_gen.txt\n"
                            "[ORMA_ERROR]\nLogging = ALL\nFile = no_such_dir/err.txt\nStartup = ON\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(Log_Init("noerr.ini"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: Unable to create file \"no_such_dir/err.txt\"\n");
    EXPECT_EQ(log_bytes({0xF0, 0x02}), 1);
    Log_Exit();
    EXPECT_EQ(read_text_file("noerr_gen.txt"), "[ 0xf0 0x02 ]\n");
}

TEST_F(LogConfig, FilterModeWithoutFilterKeepsAnEmptyFilter)
{
    // Enclosed with no expression logs nothing; the error channel is not read.
    write_file("nofilter.ini", "[ORMA_GENERAL]\nLogging = ENCLOSED_FILTER\nFile = nofilter_gen.txt\n"
                               "[ORMA_ERROR]\nLogging = ALL\nFile = nofilter_err.txt\n");
    remove_file("nofilter_err.txt");
    EXPECT_EQ(Log_Init("nofilter.ini"), 0);
    EXPECT_EQ(Log_State()->general.mode, LOG_ENCLOSED_FILTER);
    EXPECT_EQ(log_bytes({0x05}), 0);
    Log_Exit();
    EXPECT_EQ(read_text_file("nofilter_gen.txt"), "");
    EXPECT_FALSE(file_exists("nofilter_err.txt"));

    // Exclosed with an empty value logs every message; the error channel with an empty filter
    // logs every error notification and still writes its banner.
    write_file("emptyfilter.ini", "[ORMA_GENERAL]\nLogging = EXCLOSED_FILTER\nFilter =\nFile = ef_gen.txt\n");
    EXPECT_EQ(Log_Init("emptyfilter.ini"), 0);
    EXPECT_EQ(log_bytes({0x05}), 1);
    Log_Exit();
    EXPECT_EQ(read_text_file("ef_gen.txt"), "[ 0x05 ]\n");

    write_file("errfilter.ini", "[ORMA_ERROR]\nLogging = EXCLOSED_FILTER\nFilter = ,,,\nFile = ef_err.txt\n"
                                "Startup = ON\n[ORMA_FSI]\nLogging = ON\nFile = ef_fsi.txt\n");
    remove_file("ef_fsi.txt");
    EXPECT_EQ(Log_Init("errfilter.ini"), 0);
    EXPECT_EQ(log_bytes({0xF0, 0x09}), 1);
    EXPECT_EQ(log_bytes({0xC0, 0x09}), 0);
    Log_Exit();
    EXPECT_EQ(read_text_file("ef_err.txt"), BANNER + "[ 0xf0 0x09 ]\n");
    EXPECT_FALSE(file_exists("ef_fsi.txt"));
}

TEST_F(LogConfig, UnreadableConfigurationIsTreatedAsMissing)
{
    write_file("broken.ini", "[ORMA_GENERAL]\nLogging = ALL\nthis line is not a key\n");
    StdoutCapture out;
    out.start();
    testing::internal::CaptureStderr();
    EXPECT_EQ(Log_Init("broken.ini"), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out.stop(), "Unable to open configuration file \"broken.ini\"\n");
    EXPECT_NE(err.find("broken.ini"), std::string::npos);
    EXPECT_EQ(Log_State(), nullptr);
}

TEST_F(LogConfig, SecondInitClosesTheFilesOfTheFirst)
{
    write_file("first.ini", "[ORMA_GENERAL]\nLogging = ALL\nFile = first.txt\n");
    write_file("second.ini", "[ORMA_GENERAL]\nLogging = ALL\nFile = second.txt\n");
    ASSERT_EQ(Log_Init("first.ini"), 1);
    g_fake_seconds = 0; // no flush: only closing can bring the line to the file
    Log_State()->last_flush = 0;
    log_bytes({0x01});
    ASSERT_EQ(Log_Init("second.ini"), 1);
    const std::string first = read_text_file("first.txt");
    EXPECT_EQ(first.substr(first.size() - 9), "[ 0x01 ]\n");
    log_bytes({0x02});
    Log_Exit();
    EXPECT_EQ(read_text_file("first.txt"), first);
    const std::string second = read_text_file("second.txt");
    EXPECT_EQ(second.substr(second.size() - 9), "[ 0x02 ]\n");
}

TEST_F(LogConfig, DumpHeaderHoldsLongNames)
{
    write_file("long.ini", "[ORMA_FSI]\nLogging = ON\nFile = long_fsi.txt\n");
    ASSERT_EQ(Log_Init("long.ini"), 1);
    const std::string name(300, 'n');
    Log_DumpConfig(name.c_str());
    Log_Exit();
    const std::string body = "\n[orma_fsi]\n" + row("logging", "ON") + row("file", "long_fsi.txt") + "\n\n";
    EXPECT_EQ(read_text_file("long_fsi.txt"), dump_of("long.ini", body) + dump_of(name, body));
}

// The files are buffered; what is on disk shows whether a flush happened.
TEST_F(LogConfig, FlushFollowsTheFirstSelectedMessageThenAtMostOnceIn11Seconds)
{
    write_file("flush.ini", "[ORMA_GENERAL]\nLogging = NOTIFICATIONS_ONLY\nFile = flush.txt\n");
    ASSERT_EQ(Log_Init("flush.ini"), 1);
    const std::string dump =
        dump_of("flush.ini", "\n[orma_general]\n" + row("logging", "NOTIFICATIONS_ONLY") + row("file", "flush.txt") + "\n\n");

    g_fake_seconds = 5000;
    EXPECT_EQ(log_bytes({0xC1}), 1);
    EXPECT_EQ(read_text_file("flush.txt"), dump + "[ 0xc1 ]\n");
    EXPECT_EQ(Log_State()->last_flush, 5000);

    g_fake_seconds = 5005;
    EXPECT_EQ(log_bytes({0xC2}), 1);
    g_fake_seconds = 5010;
    EXPECT_EQ(log_bytes({0xC3}), 1);
    EXPECT_EQ(read_text_file("flush.txt"), dump + "[ 0xc1 ]\n");

    g_fake_seconds = 5030;
    EXPECT_EQ(log_bytes({0x05}), 0); // not selected: no flush
    EXPECT_EQ(read_text_file("flush.txt"), dump + "[ 0xc1 ]\n");

    g_fake_seconds = 5011 + 20;
    EXPECT_EQ(log_bytes({0xC4}), 1);
    EXPECT_EQ(read_text_file("flush.txt"), dump + "[ 0xc1 ]\n[ 0xc2 ]\n[ 0xc3 ]\n[ 0xc4 ]\n");
    EXPECT_EQ(Log_State()->last_flush, 5031);

    g_fake_seconds = 5042;
    EXPECT_EQ(log_bytes({0xC5}), 1); // exactly 11 s after the flush
    EXPECT_EQ(read_text_file("flush.txt"), dump + "[ 0xc1 ]\n[ 0xc2 ]\n[ 0xc3 ]\n[ 0xc4 ]\n[ 0xc5 ]\n");
}

TEST_F(LogConfig, EmptyMessageWritesNothingAndMissingMessageIsRefused)
{
    write_file("zero.ini", "[ORMA_GENERAL]\nLogging = ALL\nFile = zero.txt\n");
    ASSERT_EQ(Log_Init("zero.ini"), 1);
    const uint8_t byte = 0xF0;
    EXPECT_EQ(Log_Message(&byte, 0), 1);
    EXPECT_EQ(Log_Message(nullptr, 3), 0);
    const std::string after = read_text_file("zero.txt"); // the empty message flushed the dump
    Log_Exit();
    EXPECT_EQ(read_text_file("zero.txt"), after);
    EXPECT_NE(after, "");
}

// Lines from two threads never interleave.
TEST_F(LogConfig, ConcurrentCallersWriteWholeLines)
{
    write_file("threads.ini", "[ORMA_GENERAL]\nLogging = ALL\nFile = threads.txt\n");
    ASSERT_EQ(Log_Init("threads.ini"), 1);
    constexpr int PER_THREAD = 2000;
    auto writer = [](uint8_t code) {
        std::vector<uint8_t> msg(200, code);
        for (int i = 0; i < PER_THREAD; ++i)
            log_bytes(msg);
    };
    std::thread a(writer, 0x81);
    std::thread b(writer, 0xC2);
    a.join();
    b.join();
    Log_Exit();

    std::string line_a = "[", line_b = "[";
    for (int i = 0; i < 200; ++i) {
        line_a += " 0x81";
        line_b += " 0xc2";
    }
    line_a += " ]";
    line_b += " ]";
    const std::string text = read_text_file("threads.txt");
    size_t pos = text.find("\n[ 0x");
    ASSERT_NE(pos, std::string::npos);
    int count_a = 0, count_b = 0;
    for (size_t start = pos + 1; start < text.size();) {
        const size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(start, end - start);
        if (line == line_a)
            ++count_a;
        else if (line == line_b)
            ++count_b;
        else
            FAIL() << "mixed line: " << line.substr(0, 80);
        start = end + 1;
    }
    EXPECT_EQ(count_a, PER_THREAD);
    EXPECT_EQ(count_b, PER_THREAD);
}

} // namespace

namespace {

// The sample configuration shipped with the library sets up all four channels.
TEST_F(LogConfig, SampleConfigurationSetsUpAllFourChannels)
{
    const std::string sample = read_text_file(ORMA_SAMPLE_LOG_CONFIG);
    ASSERT_NE(sample, "");
    write_file("ORMA_DLL_Log.ini", sample);
    ASSERT_EQ(Log_Init("ORMA_DLL_Log.ini"), 1);
    const LogState* s = Log_State();
    EXPECT_EQ(s->general.mode, LOG_ALL);
    EXPECT_EQ(s->error.mode, LOG_ALL);
    EXPECT_EQ(s->fsi.mode, LOG_ON);
    EXPECT_EQ(s->subchannels.mode, LOG_ON);
    EXPECT_EQ(s->subchannels.list_options, LOG_LIST_BY_ID | LOG_LIST_BY_CU);
    EXPECT_EQ(log_bytes({0xF0, 0x01}), 1);
    Log_Exit();
    const std::string fsi = read_text_file("ORMA_FSINotifications.txt");
    EXPECT_EQ(fsi.rfind("\nConfiguration data of file \"ORMA_DLL_Log.ini\":\n\n[orma_general]\n", 0), 0u);
    const std::string gen = read_text_file("ORMA_Notifications.txt");
    EXPECT_EQ(gen, fsi + "[ 0xf0 0x01 ]\n");
    EXPECT_EQ(read_text_file("ORMA_ErrNotifications.txt"), BANNER + fsi + "[ 0xf0 0x01 ]\n");
    EXPECT_EQ(read_text_file("ORMA_CfgSubChannels.txt"), fsi);
}

} // namespace
