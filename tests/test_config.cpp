// The table of ORMA_DLL_Log.ini and its two readers: every default is a value of its key, the
// values that each kind of key takes, and the library and ormactl config reading one file alike.
#include "config/config_table.h"
#include "log_config_check.h"
#include "log_test_support.h"
#include "support/options.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace cfg = orma_config;
using cfg::KeyId;
using cfg::SectionId;

TEST(ConfigTable, NamesAreFoundInAnyCaseAndEveryDefaultIsAValueOfItsKey)
{
    for (const cfg::Section& s : cfg::sections()) {
        EXPECT_EQ(cfg::find_section(cfg::upper(s.name)), &s);
        for (const cfg::Key& k : s.keys) {
            SCOPED_TRACE(std::string(s.name) + ":" + k.name);
            EXPECT_EQ(cfg::find_key(s, cfg::upper(k.name)), &k);
            EXPECT_EQ(&cfg::key(s.id, k.id), &k);
            if (k.kind == cfg::Kind::Mode) {
                EXPECT_EQ(cfg::mode_of(k, k.default_value), cfg::Mode::Off);
            } else if (k.default_value) {
                EXPECT_TRUE(cfg::valid(k, k.default_value));
            }
        }
    }
}

TEST(ConfigTable, ValuesThatEachKindOfKeyTakes)
{
    const std::string longest(255, 'h');
    const struct {
        SectionId section;
        KeyId key;
        std::string value;
        bool taken;
    } cases[] = {
        {SectionId::Link, KeyId::Port, "1", true},        {SectionId::Link, KeyId::Port, "05002", true},
        {SectionId::Link, KeyId::Port, "65535", true},    {SectionId::Link, KeyId::Port, "0", false},
        {SectionId::Link, KeyId::Port, "65536", false},   {SectionId::Link, KeyId::Port, "70000", false},
        {SectionId::Link, KeyId::Port, "+80", false},     {SectionId::Link, KeyId::Port, "", false},
        {SectionId::Link, KeyId::Port, std::string(30, '9'), false},
        {SectionId::Link, KeyId::ResponseTimeout, "0", true},
        {SectionId::Link, KeyId::ResponseTimeout, "86400000", true},
        {SectionId::Link, KeyId::ResponseTimeout, "86400001", false},
        {SectionId::Link, KeyId::Host, "::1", true},      {SectionId::Link, KeyId::Host, longest, true},
        {SectionId::Link, KeyId::Host, "", false},        {SectionId::Link, KeyId::Host, longest + "h", false},
        {SectionId::Link, KeyId::ComPort, "12", true},    {SectionId::Link, KeyId::ComPort, "/dev/ttyUSB0", true},
        {SectionId::Link, KeyId::ComPort, "COM12", true}, {SectionId::Link, KeyId::ComPort, "0", false},
        {SectionId::Link, KeyId::ComPort, "", false},     {SectionId::Link, KeyId::ComPort, longest + "1", false},
        {SectionId::Link, KeyId::StartWait, "Fixed", true}, {SectionId::Link, KeyId::StartWait, "soon", false},
        {SectionId::Link, KeyId::Reconnect, "oFF", true}, {SectionId::Link, KeyId::Reconnect, "1", false},
        {SectionId::Error, KeyId::Startup, "off", true},  {SectionId::Error, KeyId::Startup, "yes", false},
        {SectionId::Fsi, KeyId::MaxSize, "0", true},      {SectionId::Fsi, KeyId::MaxSize, "9999999999", true},
        {SectionId::Fsi, KeyId::MaxSize, "10000000000", false}, {SectionId::Fsi, KeyId::MaxSize, "1MB", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cfg::valid(cfg::key(c.section, c.key), c.value), c.taken) << cfg::key(c.section, c.key).name << " = "
                                                                             << c.value;
}

std::string absolute(const std::string& name)
{
    return std::filesystem::absolute(name).lexically_normal().string();
}

class ConfigAgreement : public LogTest {};

// Each case is the sample with more lines at its end, which replace the sample's own (a later
// key counts). ormactl config's account of the file and what the library sets up from it must
// be the same: each channel's mode, file, filter, bound, banner and tables, and the settings.
TEST_F(ConfigAgreement, LibraryAndOrmactlReadTheSampleAlike)
{
    const char* const cases[] = {
        "",
        "[ORMA_LINK]\nStartWait = fixed\nHost = ::1\nPort = 05003\nComPort = /dev/ttyUSB0\nResponseTimeout = 0\n"
        "Reconnect = off\nSplitLongMessages = On\n",
        "[ORMA_LINK]\nPort = 70000\nHost =\nStartWait = soon\nComPort = 0\nResponseTimeout = 5s\n",
        "[orma_general]\nlogging = Enclosed_Filter\nFilter = F0, C1 x 01, 0x85, zzF0 yes, 1 2 3 4 5 6 7 8 9\n"
        "[ORMA_ERROR]\nLogging = EXCLOSED_FILTER\nFilter = F0 x 02, C1 01, x F0, , F0\n"
        "[ORMA_CONFIGURED_SUBCHANNELS]\nLogListById = OFF\nMaxSize = 100\n",
        "[ORMA_GENERAL]\nLogging = exclosed_filter\nFilter = 1,2,3,4,5,6,7,8,9,A\n[ORMA_ERROR]\nStartup = off\n"
        "[ORMA_FSI]\nMaxSize = 1MB\n",
        "[ORMA_ERROR]\nLogging = NOTIFICATIONS_ONLY\n",        // no mode of the channel: the set-up stops
        "[ORMA_GENERAL]\nLogging = ENCLOSED_FILTER\nFilter = ,,\n", // no expression: likewise
        "[ORMA_FSI]\nLogging = OFF\n[ORMA_CONFIGURED_SUBCHANNELS]\nLogging = all\n",
    };
    const std::string sample = read_text_file(ORMA_SAMPLE_LOG_CONFIG);
    ASSERT_FALSE(sample.empty());
    for (const char* extra : cases) {
        SCOPED_TRACE(extra);
        write_file(cfg::FILE_NAME, sample + "\n" + extra);
        LogConfigView view;
        std::FILE* report = std::tmpfile();
        check_log_config_file(cfg::FILE_NAME, report, view);
        std::fclose(report);
        ASSERT_TRUE(view.readable);
        ASSERT_EQ(view.channels.size(), 4u);

        Log_Init(cfg::FILE_NAME);
        const LogState* state = Log_State();
        ASSERT_NE(state, nullptr);
        const LogChannel* channels[] = {&state->general, &state->error, &state->fsi, &state->subchannels};
        for (size_t i = 0; i < 4; ++i) {
            const LogChannel& ch = *channels[i];
            const LogConfigView::Channel& seen = view.channels[i];
            SCOPED_TRACE(i);
            EXPECT_EQ(ch.mode, static_cast<LogMode>(seen.mode));
            EXPECT_EQ(ch.file ? absolute(ch.name) : "", seen.file);
            std::vector<std::string> filter;
            for (const FilterExpression& e : ch.filter)
                if (e.bytes)
                    filter.push_back(cfg::expression_text(e.bytes, e.length, e.mask));
            EXPECT_EQ(filter, seen.filter);
            EXPECT_EQ(ch.file ? ch.max_bytes : 0, seen.max_bytes);
            EXPECT_EQ(ch.list_options, (seen.by_id ? LOG_LIST_BY_ID : 0) | (seen.by_cu ? LOG_LIST_BY_CU : 0));
        }
        const OrmaOptions set = options_current();
        EXPECT_EQ(set.response_timeout_ms, view.link.response_timeout_ms);
        EXPECT_EQ(set.reconnect, view.link.reconnect);
        EXPECT_EQ(set.split_long_messages, view.link.split_long_messages);
        EXPECT_EQ(set.start_wait_ready, view.link.start_wait_ready);
        EXPECT_EQ(set.host, view.link.host);
        EXPECT_EQ(set.port, view.link.port);
        EXPECT_EQ(set.com_port, view.link.com_port);
        const std::string error_file = state->error.file ? state->error.name : "";
        Log_Exit();
        if (!error_file.empty()) {
            EXPECT_EQ(read_text_file(error_file).rfind("\n\n  ===== RESTARTED", 0) == 0, view.channels[1].banner);
        }
    }
}

} // namespace
