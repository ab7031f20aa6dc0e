// Sub-channel tracker: the record line, the tables by id and by start CU, the closing line,
// the reset message and short notifications.
#include "log_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {


struct Sub {
    uint32_t id, on, cu, size, eep, prot, efc;
    int32_t time;
};

Bytes notification(const Sub& s)
{
    const uint32_t word = s.id | (s.efc << 6) | (s.on << 7) | (s.cu << 8) | (s.prot << 18) | (s.eep << 21) |
                          (s.size << 22);
    const uint32_t t = static_cast<uint32_t>(s.time);
    return {0xE0,
            0x46,
            static_cast<uint8_t>(word >> 24),
            static_cast<uint8_t>(word >> 16),
            static_cast<uint8_t>(word >> 8),
            static_cast<uint8_t>(word),
            static_cast<uint8_t>(t >> 24),
            static_cast<uint8_t>(t >> 16),
            static_cast<uint8_t>(t >> 8),
            static_cast<uint8_t>(t)};
}

const std::string CLOSING = " " + std::string(90, '-') + "\n";
const std::string BY_ID = " ========== Current Config (by sub_ch_id) ====\n";
const std::string BY_CU = " ========== Current Config (by start CU)  ====\n";

class LogSubChannels : public LogTest {
protected:
    // Starts the channel with the given list options and empties the table.
    void start(bool by_id, bool by_cu)
    {
        std::string ini = "[ORMA_CONFIGURED_SUBCHANNELS]\nLogging = On\nFile = sub.txt\n";
        ini += std::string("LogListById = ") + (by_id ? "on" : "yes") + "\n";
        ini += std::string("LogListByCU = ") + (by_cu ? "ON" : "OFF") + "\n";
        write_file("sub.ini", ini);
        ASSERT_EQ(Log_Init("sub.ini"), 1);
        ASSERT_EQ(Log_State()->subchannels.list_options, (by_id ? 1u : 0u) | (by_cu ? 2u : 0u));
        EXPECT_EQ(log_bytes({0x42, 0x00, 0x00}), 0); // reset; selected by no message channel
    }

    // What the tracker wrote after the dump.
    std::string records()
    {
        Log_Exit();
        const std::string text = read_text_file("sub.txt");
        const size_t end = text.find("\n\n\n\n\n");
        EXPECT_NE(end, std::string::npos);
        return text.substr(end + 5);
    }
};

TEST_F(LogSubChannels, NotificationGivesRecordTableAndClosingLine)
{
    start(true, false);
    log_bytes(notification({5, 1, 10, 24, 1, 2, 0, 1234}));
    EXPECT_EQ(records(), "Time:     1234 ms |SubChId:   5 |SwitchOn:   1 |Start CU:  10 |Size CUs:  24 |EEP:   1 |"
                         "ProtLev:   2 |EFC Flg:   0\n" +
                             BY_ID +
                             "SubChId:   5 |Start CU:  10... 33 (Sz:  24) |EEP:   1 |ProtLev:   2 |EFC Flg:   0 |"
                             "Time:     1234 ms\n" +
                             CLOSING);
}

TEST_F(LogSubChannels, SwitchedOffSubChannelLeavesBothTables)
{
    start(true, true);
    log_bytes(notification({5, 1, 10, 24, 1, 2, 0, 100}));
    log_bytes(notification({5, 0, 10, 24, 1, 2, 0, 200}));
    const std::string text = records();
    const std::string second = "Time:      200 ms |SubChId:   5 |SwitchOn:   0 |Start CU:  10 |Size CUs:  24 |EEP:   1 |"
                               "ProtLev:   2 |EFC Flg:   0\n" +
                               BY_ID + BY_CU + CLOSING;
    ASSERT_GE(text.size(), second.size());
    EXPECT_EQ(text.substr(text.size() - second.size()), second);
}

TEST_F(LogSubChannels, TablesOrderByIdAndByStartCu)
{
    start(true, true);
    log_bytes(notification({9, 1, 100, 12, 0, 3, 1, 1}));
    log_bytes(notification({3, 1, 900, 6, 1, 1, 0, 2}));  // beyond the 864 CUs of a frame
    log_bytes(notification({7, 1, 100, 8, 1, 4, 0, 3}));  // same start CU as id 9
    log_bytes(notification({2, 1, 0, 1023, 1, 7, 1, -5})); // widest fields, negative time
    const std::string text = records();
    const std::string last = "Time:       -5 ms |SubChId:   2 |SwitchOn:   1 |Start CU:   0 |Size CUs: 1023 |EEP:   1 |"
                             "ProtLev:   7 |EFC Flg:   1\n" +
                             BY_ID +
                             "SubChId:   2 |Start CU:   0...1022 (Sz: 1023) |EEP:   1 |ProtLev:   7 |EFC Flg:   1 |Time:       -5 ms\n"
                             "SubChId:   3 |Start CU: 900...905 (Sz:   6) |EEP:   1 |ProtLev:   1 |EFC Flg:   0 |Time:       -5 ms\n"
                             "SubChId:   7 |Start CU: 100...107 (Sz:   8) |EEP:   1 |ProtLev:   4 |EFC Flg:   0 |Time:       -5 ms\n"
                             "SubChId:   9 |Start CU: 100...111 (Sz:  12) |EEP:   0 |ProtLev:   3 |EFC Flg:   1 |Time:       -5 ms\n" +
                             BY_CU +
                             "SubChId:   2 |Start CU:   0...1022 (Sz: 1023) |EEP:   1 |ProtLev:   7 |EFC Flg:   1 |Time:       -5 ms\n"
                             "SubChId:   7 |Start CU: 100...107 (Sz:   8) |EEP:   1 |ProtLev:   4 |EFC Flg:   0 |Time:       -5 ms\n"
                             "SubChId:   9 |Start CU: 100...111 (Sz:  12) |EEP:   0 |ProtLev:   3 |EFC Flg:   1 |Time:       -5 ms\n" +
                             CLOSING;
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

TEST_F(LogSubChannels, WithoutListOptionsOnlyRecordAndClosingLine)
{
    start(false, false);
    log_bytes(notification({63, 1, 1023, 0, 0, 0, 0, 99999999}));
    EXPECT_EQ(records(), "Time: 99999999 ms |SubChId:  63 |SwitchOn:   1 |Start CU: 1023 |Size CUs:   0 |EEP:   0 |"
                         "ProtLev:   0 |EFC Flg:   0\n" +
                             CLOSING);
}

TEST_F(LogSubChannels, ResetEmptiesTheTable)
{
    start(true, false);
    log_bytes(notification({1, 1, 0, 4, 0, 0, 0, 1}));
    log_bytes({0x42, 0x01});  // too short to be looked at
    log_bytes(notification({2, 1, 4, 4, 0, 0, 0, 2}));
    log_bytes({0x42, 0x01, 0x02});
    log_bytes(notification({3, 1, 8, 4, 0, 0, 0, 3}));
    const std::string text = records();
    const std::string before_reset = BY_ID +
                                     "SubChId:   1 |Start CU:   0...  3 (Sz:   4) |EEP:   0 |ProtLev:   0 |EFC Flg:   0 |Time:        2 ms\n"
                                     "SubChId:   2 |Start CU:   4...  7 (Sz:   4) |EEP:   0 |ProtLev:   0 |EFC Flg:   0 |Time:        2 ms\n";
    EXPECT_NE(text.find(before_reset), std::string::npos);
    const std::string after_reset = BY_ID +
                                    "SubChId:   3 |Start CU:   8... 11 (Sz:   4) |EEP:   0 |ProtLev:   0 |EFC Flg:   0 |Time:        3 ms\n" +
                                    CLOSING;
    EXPECT_EQ(text.substr(text.size() - after_reset.size()), after_reset);
}

TEST_F(LogSubChannels, ShortNotificationIsNotRecorded)
{
    start(true, true);
    Bytes full = notification({4, 1, 0, 4, 0, 0, 0, 7});
    for (size_t n = 3; n < full.size(); ++n) {
        // An exact-size heap copy, so that a read past its end is caught.
        std::vector<uint8_t> part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(Log_TrackSubChannels(Log_State(), part.data(), static_cast<uint16_t>(n)), -1);
    }
    EXPECT_EQ(Log_TrackSubChannels(Log_State(), full.data(), static_cast<uint16_t>(full.size())), -1);
    EXPECT_EQ(Log_TrackSubChannels(nullptr, full.data(), 10), -1);
    EXPECT_EQ(records(), "Time:        7 ms |SubChId:   4 |SwitchOn:   1 |Start CU:   0 |Size CUs:   4 |EEP:   0 |"
                         "ProtLev:   0 |EFC Flg:   0\n" +
                             BY_ID +
                             "SubChId:   4 |Start CU:   0...  3 (Sz:   4) |EEP:   0 |ProtLev:   0 |EFC Flg:   0 |Time:        7 ms\n" +
                             BY_CU +
                             "SubChId:   4 |Start CU:   0...  3 (Sz:   4) |EEP:   0 |ProtLev:   0 |EFC Flg:   0 |Time:        7 ms\n" +
                             CLOSING);
}

TEST_F(LogSubChannels, TableOutlivesRestartsButNotWhileTheChannelIsOff)
{
    start(true, false);
    log_bytes(notification({6, 1, 20, 4, 0, 0, 0, 1}));
    Log_Exit();

    // With the channel off, notifications and resets change nothing.
    write_file("sub_off.ini", "[ORMA_GENERAL]\nLogging = ALL\nFile = sub_off_gen.txt\n");
    ASSERT_EQ(Log_Init("sub_off.ini"), 1);
    log_bytes(notification({8, 1, 30, 4, 0, 0, 0, 2}));
    log_bytes({0x42, 0x00, 0x00});
    Log_Exit();

    write_file("sub_again.ini", "[ORMA_CONFIGURED_SUBCHANNELS]\nLogging = ON\nFile = sub.txt\nLogListById = ON\n");
    ASSERT_EQ(Log_Init("sub_again.ini"), 1);
    log_bytes(notification({7, 1, 40, 4, 0, 0, 0, 3}));
    EXPECT_EQ(records(), "Time:        3 ms |SubChId:   7 |SwitchOn:   1 |Start CU:  40 |Size CUs:   4 |EEP:   0 |"
                         "ProtLev:   0 |EFC Flg:   0\n" +
                             BY_ID +
                             "SubChId:   6 |Start CU:  20... 23 (Sz:   4) |EEP:   0 |ProtLev:   0 |EFC Flg:   0 |Time:        3 ms\n"
                             "SubChId:   7 |Start CU:  40... 43 (Sz:   4) |EEP:   0 |ProtLev:   0 |EFC Flg:   0 |Time:        3 ms\n" +
                             CLOSING);
}

} // namespace
