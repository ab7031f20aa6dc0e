// The Wireshark dissector tools/wireshark/orma_dll.lua, read by tshark: a capture with every kind
// of record, and each record's fields and Info column as tshark shows them.
#include "capture/pcapng.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

namespace {

using namespace orma_capture;

struct Row {
    Header header;
    Bytes bytes;
    std::string fields; // "name=value" separated by ";"; every other message field shows nothing
    std::string info;
    int patch_at = -1;  // a header byte made wrong after writing, and its value
    uint8_t patch = 0;
};

Header at(uint8_t direction, uint8_t origin = FROM_LINK, uint8_t flags = 0, uint8_t mode = 2, uint8_t start = 0xAA)
{
    return Header{direction, origin, mode, start, flags};
}

// E0 46, word 0x122D2C85: sub-channel 5 switched on, start CU 300, size 72, EEP protection level
// 3, no EFC; time -1234 ms.
const Bytes SUBCH{0xE0, 0x46, 0x12, 0x2D, 0x2C, 0x85, 0xFF, 0xFF, 0xFB, 0x2E};

const Row ROWS[] = {
    {at(TO_MODULE, FROM_LINK, 0, 1), {0x40, 0x01, 0x02}, "class=command;code=0x40;len=3;msg=40 01 02",
     "→ module command 40 01 02"},
    {at(TO_MODULE, FROM_LINK, 0x20 /* not sent */), {0x05}, "class=command;code=0x05;len=1;msg=05",
     "→ module command 05 (not sent)"},
    {at(TO_HOST), {0x80}, "class=response;code=0x80;len=1;msg=80", "← host response 80"},
    {at(TO_HOST), {0xC0, 0x09}, "class=notification;code=0xc0;len=2;msg=c0 09", "← host notification C0 09"},
    {at(TO_HOST, MADE_UP), {0x85}, "class=response;code=0x85;len=1;msg=85;made_up=no answer",
     "← host library 0x85 (no answer)"},
    {at(TO_HOST, MADE_UP, 0, 3, 0), {0xF0, 0xE0, 0x03, 0xFF, 0x01, 0x12},
     "class=notification;code=0xf0;len=6;msg=f0 e0 03 ff 01 12;made_up=link up;link_notification=1",
     "← host library link up"},
    {at(TO_HOST, MADE_UP), {0xF0, 0xE0, 0x03, 0xFF, 0x00, 0x12},
     "class=notification;code=0xf0;len=6;msg=f0 e0 03 ff 00 12;made_up=link down;link_notification=0",
     "← host library link down"},
    {at(TO_HOST), SUBCH,
     "class=notification;code=0xe0;len=10;msg=e0 46 12 2d 2c 85 ff ff fb 2e"
         ";subch.id=5;subch.switch_on=1;subch.start_cu=300;subch.size=72;subch.eep=1;subch.protection=3;"
         "subch.efc=0;subch.time=-1234",
     "← host notification " + hex(SUBCH) + ": sub-channel 5 on, start CU 300, size 72"},
    {at(TO_HOST), {0xE0, 0x46, 0x00}, "class=notification;code=0xe0;len=3;msg=e0 46 00;"
     "_ws.expert.message=Sub-channel notification without its word and time", "← host notification E0 46 00"},
    {at(TO_HOST), {0xF0, 0x02, 0x40, 0x00, 0x00, 0x03, 0xE8},
     "class=notification;code=0xf0;len=7;msg=f0 02 40 00 00 03 e8;error.number=2;error.command=0x40;error.time=1000",
     "← host error notification F0 02 40 00 00 03 E8: error 2 after command 40"},
    {at(TO_MODULE, FROM_LINK, FRAME), framed(0xAA, {0x40, 0x01, 0x02}),
     "class=command;code=0x40;len=3;msg=40 01 02;frame.start=0xaa;frame.length=3;frame.length_ok=1;"
     "frame.checksum=0xf0;frame.checksum_ok=1", "→ module frame AA: command 40 01 02"},
    {at(TO_HOST, FROM_LINK, FRAME | MODULE, 1, 0x55), framed(0x55, {0x81, 0x01}),
     "class=response;code=0x81;len=2;msg=81 01;frame.start=0x55;frame.length=2;frame.length_ok=1;"
     "frame.checksum=0xd9;frame.checksum_ok=1", "← host frame 55: response 81 01"},
    {at(TO_HOST, FROM_LINK, BAD_SUM), {0xAA, 0x02, 0x81, 0x01, 0x2F} /* the sum is 2E */,
     "raw=aa 02 81 01 2f;frame.start=0xaa;frame.length=2;frame.length_ok=1;frame.checksum=0x2f;"
     "frame.checksum_ok=0;_ws.expert.message=Checksum wrong", "← host bad checksum frame AA, 5 bytes"},
    {at(TO_HOST, FROM_LINK, NOISE), {0x00, 0xAA, 0x13, 0x55, 0xFF}, "raw=00 aa 13 55 ff", "← host noise 5 bytes"},
    {at(NO_DIRECTION, MADE_UP, LINK), {LINK_UP}, "link_event=1", "link up"},
    {at(NO_DIRECTION, MADE_UP, LINK), {LINK_DOWN}, "link_event=0", "link down"},
    {at(NO_DIRECTION, MADE_UP, LINK), {LINK_STOPPED}, "link_event=255", "link stopped"},
    {at(NO_DIRECTION, MADE_UP, LINK), {}, "_ws.expert.message=A link event is one byte", "link event"},
    {at(TO_MODULE), {0x40}, "version=2;_ws.expert.message=Unknown capture packet version",
     "capture packet version 2, not known", 0, 2},
    {at(TO_MODULE), {0x40}, "version=1;header_length=200;_ws.expert.message=Packet shorter than its header",
     "header length 200 in a packet of 9 bytes", 1, 200},
};

// The header's fields, then those of the message, the frame and the rest; tshark's expert messages.
const char* const FIELDS[] = {"version", "header_length", "direction", "origin", "mode", "start", "flags",
    "flags.frame", "flags.noise", "flags.bad_sum", "flags.link", "flags.module", "flags.not_sent", "class",
    "code", "len", "msg", "made_up", "link_notification", "frame.start", "frame.length", "frame.length_ok",
    "frame.checksum", "frame.checksum_ok", "raw", "link_event", "subch.id", "subch.switch_on",
    "subch.start_cu", "subch.size", "subch.eep", "subch.protection", "subch.efc", "subch.time",
    "error.number", "error.command", "error.time", "_ws.expert.message"};

// Runs a shell command; its standard output, and its exit status in `status`.
std::string run(const std::string& command, int& status)
{
    std::string out(1 << 16, '\0');
    FILE* pipe = popen(command.c_str(), "r");
    out.resize(pipe ? std::fread(out.data(), 1, out.size(), pipe) : 0);
    status = pipe ? pclose(pipe) : -1;
    return out;
}

TEST(Dissector, ShowsEveryRecordAsWritten)
{
    std::vector<uint8_t> file = file_head("ORMA_DLL test");
    uint64_t time_us = 1700000000000000;
    for (const Row& row : ROWS) {
        const size_t block = file.size();
        append_packet(file, time_us += 1000, row.header, row.bytes.data(), row.bytes.size());
        if (row.patch_at >= 0)
            file[block + 28 + size_t(row.patch_at)] = row.patch; // 28: the packet block's own header
    }
    FILE* out = std::fopen("capture.pcapng", "wb");
    ASSERT_TRUE(out && std::fwrite(file.data(), 1, file.size(), out) == file.size() && std::fclose(out) == 0);

    std::string columns;
    for (const char* name : FIELDS)
        columns += std::string(" -e ") + (name[0] == '_' ? "" : "orma.") + name;
    // HOME here: no personal plugin (a second copy of the dissector) or preference of the user's.
    const std::string tshark = "env -u XDG_CONFIG_HOME HOME=\"" + std::filesystem::current_path().string() + "\" " +
                               ORMA_TSHARK + " -X lua_script:" + ORMA_DISSECTOR + " -r capture.pcapng";
    int status[2] = {};
    const std::string fields =
        run(tshark + " -T fields -E separator=/t -E occurrence=a" + columns + " 2>err.txt", status[0]);
    const std::string info = run(tshark + " -o 'gui.column.format:\"Info\",\"%i\"' 2>>err.txt", status[1]);
    int ignored = 0;
    EXPECT_EQ(run("grep -v 'Running as user' err.txt", ignored), "") << "tshark's complaints (Lua errors among them)";
    ASSERT_TRUE(status[0] == 0 && status[1] == 0) << "tshark failed (as root: Lua disabled in init.lua?)";
    const std::vector<std::string> lines = split(fields, '\n'), infos = split(info, '\n');
    ASSERT_EQ(lines.size(), std::size(ROWS));
    ASSERT_EQ(infos.size(), std::size(ROWS));

    for (size_t r = 0; r < std::size(ROWS); ++r) {
        const Row& row = ROWS[r];
        SCOPED_TRACE("record " + std::to_string(r + 1) + ": " + hex(row.bytes));
        const Header& h = row.header; // shown as written, unless made wrong
        char head[200];
        std::snprintf(head, sizeof head, "version=1;header_length=8;direction=%d;origin=%d;mode=%d;start=0x%02x;"
                      "flags=0x%02x;flags.frame=%d;flags.noise=%d;flags.bad_sum=%d;flags.link=%d;flags.module=%d;"
                      "flags.not_sent=%d;", h.direction, h.origin, h.mode, h.start, h.flags, h.flags & 1,
                      h.flags >> 1 & 1, h.flags >> 2 & 1, h.flags >> 3 & 1, h.flags >> 4 & 1, h.flags >> 5 & 1);
        std::map<std::string, std::string> expected;
        for (const std::string& pair : split((row.patch_at < 0 ? head : "") + row.fields, ';'))
            expected[pair.substr(0, pair.find('='))] = pair.substr(pair.find('=') + 1);
        std::vector<std::string> shown = split(lines[r], '\t');
        shown.resize(std::size(FIELDS));
        for (size_t c = 0; c < std::size(FIELDS); ++c) {
            const std::string value = shown[c] == "True" ? "1" : shown[c] == "False" ? "0" : shown[c]; // later tsharks
            EXPECT_EQ(value, expected.count(FIELDS[c]) ? expected[FIELDS[c]] : "") << FIELDS[c];
        }
        EXPECT_EQ(infos[r].substr(infos[r].find_first_not_of(' ')), row.info);
    }
}

} // namespace
