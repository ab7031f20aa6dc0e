// Sub-channel tracker: the record line, the tables by id and by start CU, the closing line,
// the reset message, short notifications and the table across restarts.
#include "log_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Sub {
    uint32_t id, on, cu, size, eep, prot, efc;
    int32_t time;
};

Bytes notification(const Sub& s)
{
    const uint32_t w = s.id | (s.efc << 6) | (s.on << 7) | (s.cu << 8) | (s.prot << 18) | (s.eep << 21) | (s.size << 22);
    Bytes n = {0xE0, 0x46}; // then the word and the time, big-endian
    for (const uint32_t v : {w, static_cast<uint32_t>(s.time)})
        for (int shift = 24; shift >= 0; shift -= 8)
            n.push_back(static_cast<uint8_t>(v >> shift));
    return n;
}

const std::string CLOSING = " " + std::string(90, '-') + "\n";
const std::string BY_ID = " ========== Current Config (by sub_ch_id) ====\n";
const std::string BY_CU = " ========== Current Config (by start CU)  ====\n";

class LogSubChannels : public LogTest {
protected:
    // Starts the channel with the given list options ("yes" is not "ON") and empties the table.
    void start(bool by_id, bool by_cu)
    {
        write_file("sub.ini", std::string("[ORMA_CONFIGURED_SUBCHANNELS]\nLogging = On\nFile = sub.txt\nLogListById = ") +
                                  (by_id ? "on" : "yes") + "\nLogListByCU = " + (by_cu ? "ON" : "OFF") + "\n");
        ASSERT_EQ(Log_Init("sub.ini"), 1);
        EXPECT_EQ(log_bytes({0x42, 0x00, 0x00}), 0); // reset; selected by no message channel
    }
    // What the tracker wrote after the dump.
    static std::string records()
    {
        Log_Exit();
        const std::string text = read_text_file("sub.txt");
        return text.substr(text.find("\n\n\n\n\n") + 5);
    }
};

TEST_F(LogSubChannels, NotificationGivesItsRecordTheTableAndTheClosingLine)
{
    start(true, false);
    log_bytes(notification({5, 1, 10, 24, 1, 2, 0, 1234}));
    EXPECT_EQ(records(), "Time:     1234 ms |SubChId:   5 |SwitchOn:   1 |Start CU:  10 |Size CUs:  24 |EEP:   1 |"
                         "ProtLev:   2 |EFC Flg:   0\n" + BY_ID +
                         "SubChId:   5 |Start CU:  10... 33 (Sz:  24) |EEP:   1 |ProtLev:   2 |EFC Flg:   0 |Time:     1234 ms\n" +
                         CLOSING);
}

// The table by start CU lists the sub-channels that start inside the 864 capacity units.
TEST_F(LogSubChannels, TablesOrderByIdAndByStartCuUpTo863)
{
    start(true, true);
    log_bytes(notification({9, 1, 100, 12, 0, 3, 1, 1}));
    log_bytes(notification({3, 1, 864, 6, 1, 1, 0, 2}));
    log_bytes(notification({4, 1, 863, 1, 1, 1, 0, 2}));
    log_bytes(notification({7, 1, 100, 8, 1, 4, 0, 3}));  // same start CU as id 9
    log_bytes(notification({2, 1, 0, 1023, 1, 7, 1, -5})); // widest fields, negative time
    const std::string text = records();
    const std::string rows[] = {
        "SubChId:   2 |Start CU:   0...1022 (Sz: 1023) |EEP:   1 |ProtLev:   7 |EFC Flg:   1 |Time:       -5 ms\n",
        "SubChId:   3 |Start CU: 864...869 (Sz:   6) |EEP:   1 |ProtLev:   1 |EFC Flg:   0 |Time:       -5 ms\n",
        "SubChId:   4 |Start CU: 863...863 (Sz:   1) |EEP:   1 |ProtLev:   1 |EFC Flg:   0 |Time:       -5 ms\n",
        "SubChId:   7 |Start CU: 100...107 (Sz:   8) |EEP:   1 |ProtLev:   4 |EFC Flg:   0 |Time:       -5 ms\n",
        "SubChId:   9 |Start CU: 100...111 (Sz:  12) |EEP:   0 |ProtLev:   3 |EFC Flg:   1 |Time:       -5 ms\n"};
    const std::string last = "Time:       -5 ms |SubChId:   2 |SwitchOn:   1 |Start CU:   0 |Size CUs: 1023 |EEP:   1 |"
                             "ProtLev:   7 |EFC Flg:   1\n" + BY_ID + rows[0] + rows[1] + rows[2] + rows[3] + rows[4] +
                             BY_CU + rows[0] + rows[3] + rows[4] + rows[2] + CLOSING;
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

TEST_F(LogSubChannels, SwitchedOffSubChannelLeavesBothTables)
{
    start(true, true);
    log_bytes(notification({5, 1, 10, 24, 1, 2, 0, 100}));
    log_bytes(notification({5, 0, 10, 24, 1, 2, 0, 200}));
    const std::string text = records();
    const std::string second = "Time:      200 ms |SubChId:   5 |SwitchOn:   0 |Start CU:  10 |Size CUs:  24 |EEP:   1 |"
                               "ProtLev:   2 |EFC Flg:   0\n" + BY_ID + BY_CU + CLOSING;
    EXPECT_EQ(text.substr(text.size() - second.size()), second);
}

// Without list options only the record and the closing line; a short notification is not
// recorded; the reset empties the table; the table outlives restarts, and nothing changes it while
// the channel is off.
TEST_F(LogSubChannels, ShortNotificationsResetsAndRestarts)
{
    start(false, false);
    const Bytes full = notification({63, 1, 1023, 0, 0, 0, 0, 99999999});
    for (size_t n = 3; n < full.size(); ++n) {
        const Bytes part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n)); // exact size: a read past it is caught
        EXPECT_EQ(Log_TrackSubChannels(Log_State(), part.data(), static_cast<uint16_t>(n)), -1);
    }
    log_bytes(full);
    log_bytes({0x42, 0x01}); // too short to be looked at
    EXPECT_EQ(records(), "Time: 99999999 ms |SubChId:  63 |SwitchOn:   1 |Start CU: 1023 |Size CUs:   0 |EEP:   0 |"
                         "ProtLev:   0 |EFC Flg:   0\n" + CLOSING);

    write_file("sub_off.ini", "[ORMA_GENERAL]\nLogging = ALL\nFile = sub_off_gen.txt\n");
    ASSERT_EQ(Log_Init("sub_off.ini"), 1);
    log_bytes(notification({8, 1, 30, 4, 0, 0, 0, 2}));
    log_bytes({0x42, 0x00, 0x00});
    Log_Exit();
    write_file("sub_again.ini", "[ORMA_CONFIGURED_SUBCHANNELS]\nLogging = ON\nFile = sub.txt\nLogListById = ON\n");
    ASSERT_EQ(Log_Init("sub_again.ini"), 1);
    log_bytes(notification({7, 1, 40, 4, 0, 0, 0, 3}));
    log_bytes({0x42, 0x01, 0x02});
    log_bytes(notification({6, 1, 20, 4, 0, 0, 0, 4}));
    const std::string text = records();
    EXPECT_NE(text.find(BY_ID + "SubChId:   7 |Start CU:  40... 43 (Sz:   4) |EEP:   0 |ProtLev:   0 |EFC Flg:   0 |Time:        3 ms\n"
                                "SubChId:  63 |Start CU: 1023...1022 (Sz:   0) |EEP:   0 |ProtLev:   0 |EFC Flg:   0 |Time:        3 ms\n" +
                        CLOSING),
              std::string::npos)
        << text;
    const std::string after_reset =
        BY_ID + "SubChId:   6 |Start CU:  20... 23 (Sz:   4) |EEP:   0 |ProtLev:   0 |EFC Flg:   0 |Time:        4 ms\n" + CLOSING;
    EXPECT_EQ(text.substr(text.size() - after_reset.size()), after_reset);
}

} // namespace
