#include "config/config_table.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace orma_config {

namespace {

constexpr const char* const MODE_WORDS[] = {"OFF", "ON", "ALL", "NOTIFICATIONS_ONLY", "COMMANDS_RESPONSES",
                                            "ENCLOSED_FILTER", "EXCLOSED_FILTER"};
constexpr const char* const GENERAL_MODES[] = {"ALL", "NOTIFICATIONS_ONLY", "COMMANDS_RESPONSES", "ENCLOSED_FILTER",
                                               "EXCLOSED_FILTER"};
constexpr const char* const ERROR_MODES[] = {"ALL", "ENCLOSED_FILTER", "EXCLOSED_FILTER"};
constexpr const char* const ON_MODE[] = {"ON"};
constexpr const char* const ON_OFF[] = {"ON", "OFF"};
constexpr const char* const START_WAITS[] = {"READY", "FIXED"};
constexpr const char* const OUTPUTS[] = {"DEFAULT", "STDERR", "OFF"};

// Digits only, saturating: what the readers of numbers accept before their limits.
constexpr std::optional<uint64_t> digits(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    uint64_t n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const uint64_t d = static_cast<uint64_t>(c - '0');
        n = n > (std::numeric_limits<uint64_t>::max() - d) / 10 ? std::numeric_limits<uint64_t>::max() : n * 10 + d;
    }
    return n;
}

constexpr uint64_t RESPONSE_TIMEOUT_MAX_MS = 86400000; // a day
constexpr const char* RESPONSE_TIMEOUT_TEXT = "5000";
constexpr const char* PORT_TEXT = "5002";
static_assert(digits(RESPONSE_TIMEOUT_TEXT) == DEFAULT_RESPONSE_TIMEOUT_MS);
static_assert(digits(PORT_TEXT) == DEFAULT_PORT);

constexpr const char* on_off(bool on)
{
    return on ? ON_OFF[0] : ON_OFF[1];
}

constexpr Key logging(std::span<const char* const> modes)
{
    return {.id = KeyId::Logging, .name = "Logging", .kind = Kind::Mode, .words = modes, .default_value = "OFF"};
}
constexpr Key file(const char* default_name)
{
    return {.id = KeyId::File, .name = "File", .kind = Kind::FileName, .words = {}, .default_value = default_name};
}
constexpr Key filter(int first_byte = -1)
{
    return {.id = KeyId::Filter,
            .name = "Filter",
            .kind = Kind::Filter,
            .words = {},
            .default_value = nullptr,
            .max = FILTER_EXPRESSIONS,
            .first_byte = first_byte};
}
constexpr Key switch_key(KeyId id, const char* name)
{
    return {.id = id, .name = name, .kind = Kind::Switch, .words = ON_OFF, .default_value = "OFF"};
}
// A setting of the library's own that is ON or OFF, with its default.
constexpr Key on_off_key(KeyId id, const char* name, bool on)
{
    return {.id = id, .name = name, .kind = Kind::Choice, .words = ON_OFF, .default_value = on_off(on)};
}
// The bound of a channel's file in KB; ten digits are some 9 TB.
constexpr Key MAX_SIZE{
    .id = KeyId::MaxSize, .name = "MaxSize", .kind = Kind::SizeKb, .words = {}, .default_value = "0", .max = 10};

constexpr Key GENERAL_KEYS[] = {logging(GENERAL_MODES), file("ORMA_Notifications.txt"), filter(), MAX_SIZE};
constexpr Key ERROR_KEYS[] = {logging(ERROR_MODES), file("ORMA_ErrNotifications.txt"), filter(0xF0),
                          switch_key(KeyId::Startup, "Startup"), MAX_SIZE};
constexpr Key FSI_KEYS[] = {logging(ON_MODE), file("ORMA_FSINotifications.txt"), MAX_SIZE};
constexpr Key SUBCHANNEL_KEYS[] = {logging(ON_MODE), file("ORMA_CfgSubChannels.txt"),
                               switch_key(KeyId::LogListById, "LogListById"),
                               switch_key(KeyId::LogListByCU, "LogListByCU"), MAX_SIZE};
constexpr Key LINK_KEYS[] = {
    {.id = KeyId::ResponseTimeout,
     .name = "ResponseTimeout",
     .kind = Kind::Number,
     .words = {},
     .default_value = RESPONSE_TIMEOUT_TEXT,
     .min = 0,
     .max = RESPONSE_TIMEOUT_MAX_MS,
     .what = "a number of milliseconds"},
    on_off_key(KeyId::Reconnect, "Reconnect", DEFAULT_RECONNECT),
    on_off_key(KeyId::SplitLongMessages, "SplitLongMessages", DEFAULT_SPLIT_LONG_MESSAGES),
    on_off_key(KeyId::SendQueued, "SendQueued", DEFAULT_SEND_QUEUED),
    {.id = KeyId::StartWait,
     .name = "StartWait",
     .kind = Kind::Choice,
     .words = START_WAITS,
     .default_value = START_WAITS[DEFAULT_START_WAIT_READY ? 0 : 1]},
    {.id = KeyId::Host,
     .name = "Host",
     .kind = Kind::Text,
     .words = {},
     .default_value = DEFAULT_HOST,
     .min = 1,
     .max = 255,
     .what = "a host name or an IPv4 or IPv6 address"},
    {.id = KeyId::Port,
     .name = "Port",
     .kind = Kind::Number,
     .words = {},
     .default_value = PORT_TEXT,
     .min = 1,
     .max = 65535,
     .what = "a TCP port"},
    {.id = KeyId::ComPort,
     .name = "ComPort",
     .kind = Kind::PortOrDevice,
     .words = {},
     .default_value = DEFAULT_COM_PORT,
     .min = 1,
     .max = 255,
     .what = "a device name (COM12, /dev/ttyUSB0)"},
};
constexpr Key CONSOLE_KEYS[] = {
    {.id = KeyId::Output, .name = "Output", .kind = Kind::Output, .words = OUTPUTS, .default_value = "DEFAULT"},
};

// The capture of the link's traffic: off unless a file is named.
constexpr Key CAPTURE_KEYS[] = {file(nullptr), MAX_SIZE};

constexpr Section SECTIONS[] = {
    {SectionId::General, "ORMA_GENERAL", "general", GENERAL_KEYS},
    {SectionId::Error, "ORMA_ERROR", "error", ERROR_KEYS},
    {SectionId::Fsi, "ORMA_FSI", "FSI", FSI_KEYS},
    {SectionId::SubChannels, "ORMA_CONFIGURED_SUBCHANNELS", "sub-channel", SUBCHANNEL_KEYS},
    {SectionId::Link, "ORMA_LINK", nullptr, LINK_KEYS},
    {SectionId::Console, "ORMA_CONSOLE", nullptr, CONSOLE_KEYS},
    {SectionId::Capture, "ORMA_CAPTURE", nullptr, CAPTURE_KEYS},
};

char upper_char(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The hexadecimal number at the start of the word (an optional 0x before a digit), its low byte;
// returns the characters it takes.
size_t read_hex(std::string_view word, uint8_t& byte)
{
    size_t i = 0;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X') && hex_value(word[2]) >= 0)
        i = 2;
    unsigned value = 0;
    for (; i < word.size() && hex_value(word[i]) >= 0; ++i)
        value = ((value << 4) | static_cast<unsigned>(hex_value(word[i]))) & 0xFFu;
    byte = static_cast<uint8_t>(value);
    return i;
}

FilterExpression parse_expression(std::string_view item)
{
    FilterExpression e;
    size_t i = 0;
    while (i < item.size() && is_blank(item[i]))
        ++i;
    e.text = item.substr(i);
    while (i < item.size()) {
        if (is_blank(item[i])) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < item.size() && !is_blank(item[end]))
            ++end;
        const std::string_view word = item.substr(i, end - i);
        i = end;
        size_t at = 0;
        while (at < word.size() && hex_value(word[at]) < 0 && word[at] != 'x')
            ++at;
        if (at == word.size()) {
            e.odd.push_back({std::string(word), SIZE_MAX});
            continue;
        }
        if (e.bytes.size() == FILTER_BYTES) {
            e.cut = true;
            break;
        }
        uint8_t byte = 0;
        size_t used = 1;
        if (hex_value(word[at]) >= 0)
            used = read_hex(word.substr(at), byte);
        else
            e.wildcards |= 1u << e.bytes.size();
        if (at != 0 || used != word.size())
            e.odd.push_back({std::string(word), e.bytes.size()});
        e.bytes.push_back(byte);
    }
    return e;
}

} // namespace

std::span<const Section> sections()
{
    return SECTIONS;
}

const Section& section(SectionId id)
{
    return SECTIONS[static_cast<size_t>(id)];
}

const Key& key(SectionId section_id, KeyId key_id)
{
    if (const Key* k = find_key(section(section_id), key_id))
        return *k;
    std::abort(); // a key that the section does not have: a fault of the caller's code
}

const Section* find_section(std::string_view name)
{
    for (const Section& s : SECTIONS)
        if (same_word(name, s.name))
            return &s;
    return nullptr;
}

const Key* find_key(const Section& in, std::string_view name)
{
    for (const Key& k : in.keys)
        if (same_word(name, k.name))
            return &k;
    return nullptr;
}

const Key* find_key(const Section& in, KeyId id)
{
    for (const Key& k : in.keys)
        if (k.id == id)
            return &k;
    return nullptr;
}

FullName full_name(SectionId section_id, KeyId key_id)
{
    FullName name{};
    std::snprintf(name.text, sizeof name.text, "%s:%s", section(section_id).name, key(section_id, key_id).name);
    return name;
}

bool same_word(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return upper_char(x) == upper_char(y); });
}

std::string upper(std::string_view text)
{
    std::string s(text);
    for (char& c : s)
        c = upper_char(c);
    return s;
}

const char* mode_word(Mode mode)
{
    return MODE_WORDS[static_cast<size_t>(mode)];
}

std::optional<Mode> mode_of(const Key& logging_key, std::string_view value)
{
    if (same_word(value, mode_word(Mode::Off)))
        return Mode::Off;
    if (std::none_of(logging_key.words.begin(), logging_key.words.end(),
                     [&](const char* word) { return same_word(value, word); }))
        return std::nullopt;
    for (size_t m = 0; m < std::size(MODE_WORDS); ++m)
        if (same_word(value, MODE_WORDS[m]))
            return static_cast<Mode>(m);
    return std::nullopt;
}

bool switch_on(std::string_view value)
{
    return same_word(value, ON_OFF[0]);
}

std::optional<size_t> choice(const Key& k, std::string_view value)
{
    for (size_t i = 0; i < k.words.size(); ++i)
        if (same_word(value, k.words[i]))
            return i;
    return std::nullopt;
}

std::optional<uint64_t> number(const Key& k, std::string_view value)
{
    const auto n = digits(value);
    if (!n || *n < k.min || *n > k.max)
        return std::nullopt;
    return n;
}

uint64_t size_bytes(const Key& k, std::string_view value)
{
    const auto n = digits(value);
    return n && value.size() <= k.max ? *n * 1024u : 0;
}

OutputTarget output_target(std::string_view value)
{
    if (value.empty() || same_word(value, OUTPUTS[0]))
        return OutputTarget::Default;
    if (same_word(value, OUTPUTS[1]))
        return OutputTarget::Stderr;
    if (same_word(value, OUTPUTS[2]))
        return OutputTarget::Off;
    return OutputTarget::File;
}

bool valid(const Key& k, std::string_view value)
{
    switch (k.kind) {
    case Kind::Switch:
    case Kind::Choice:
        return choice(k, value).has_value();
    case Kind::SizeKb:
        return digits(value) && value.size() <= k.max;
    case Kind::Number:
        return number(k, value).has_value();
    case Kind::Text:
        return value.size() >= k.min && value.size() <= k.max;
    case Kind::PortOrDevice: {
        const auto n = digits(value);
        return !value.empty() && value.size() <= k.max && (!n || *n >= k.min);
    }
    case Kind::Mode:
    case Kind::FileName:
    case Kind::Filter:
    case Kind::Output:
        return true;
    }
    return false;
}

Filter parse_filter(std::string_view value)
{
    Filter f;
    const std::string copy(value);
    std::vector<std::string_view> items;
    for (size_t at = 0; at < copy.size();) {
        const size_t end = std::min(copy.find(',', at), copy.size());
        if (end > at)
            items.push_back(std::string_view(copy).substr(at, end - at));
        at = end + 1;
    }
    f.given = items.size();
    for (size_t i = 0; i < items.size() && i < FILTER_EXPRESSIONS; ++i)
        f.expressions.push_back(parse_expression(items[i]));
    return f;
}

std::string expression_text(const uint8_t* bytes, size_t length, uint32_t wildcards)
{
    std::string text;
    for (size_t k = 0; k < length; ++k) {
        char cell[4];
        std::snprintf(cell, sizeof cell, "%02X", bytes[k]);
        text += text.empty() ? "" : " ";
        text += wildcards & (1u << k) ? "x" : cell;
    }
    return text;
}

} // namespace orma_config
