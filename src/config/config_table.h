// ORMA_DLL_Log.ini in one place: every section and key that the library reads, the values each
// takes, its default and its limits, and how a value is read. The library's reader and ormactl
// config both go through this table, so that a name, a default or a limit exists once: a key
// added here is read by the one (the compiler asks for it) and checked by the other.
// Data and text rules only: no file and no system call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orma_config {

// The file that ORMA_DLL_Init reads from the current folder.
inline constexpr const char* FILE_NAME = "ORMA_DLL_Log.ini";

// The order of the log channels' sections is the order in which the library sets them up.
enum class SectionId : uint8_t { General, Error, Fsi, SubChannels, Link, Console, Capture };

enum class KeyId : uint8_t {
    Logging, File, Filter, MaxSize, Startup, LogListById, LogListByCU,                      // log channels
    ResponseTimeout, Reconnect, SplitLongMessages, StartWait, Host, Port, ComPort, SendQueued, // [ORMA_LINK]
    Output,                                                                        // [ORMA_CONSOLE]
};

// How a value is read. Every word is taken in any case.
enum class Kind : uint8_t {
    Mode,         // OFF or one of `words`; another value leaves the channel's file empty and ends the set-up
    Switch,       // ON turns it on; any other value reads as OFF
    Choice,       // one of `words`; another value is passed over and the default stays
    FileName,     // used as written
    Filter,       // filter expressions (parse_filter)
    SizeKb,       // digits only, at most `max` of them; another value (or 0) sets no bound
    Number,       // digits only, from `min` to `max`; another value is passed over
    Text,         // 1 to `max` characters; another value is passed over
    PortOrDevice, // a number from `min` (digits only), or a device name of 1 to `max` characters
    Output,       // DEFAULT (also empty), STDERR, OFF, or a file name (output_target)
};

struct Key {
    KeyId id;
    const char* name;
    Kind kind;
    std::span<const char* const> words; // Mode, Choice, Switch: the words taken, in upper case
    const char* default_value;          // what an absent key reads as, written as in the file; null: none
    uint64_t min = 0;
    uint64_t max = 0;
    const char* what = nullptr; // Number, Text, PortOrDevice: what the value is, for messages
    int first_byte = -1;        // Filter: expressions that do not begin with this byte are dropped
};

struct Section {
    SectionId id;
    const char* name;
    const char* channel; // a log channel's name in reports; null for the library's own settings
    std::span<const Key> keys;
};

// Every section, log channels first in the order of their set-up.
std::span<const Section> sections();
const Section& section(SectionId id);
// The key of the section; the section must have it.
const Key& key(SectionId section, KeyId key);
// By name, in any case; null for a name the library never reads.
const Section* find_section(std::string_view name);
const Key* find_key(const Section& section, std::string_view name);
const Key* find_key(const Section& section, KeyId key);

// "ORMA_GENERAL:Logging": the name that an INI look-up takes.
struct FullName {
    char text[64];
    operator const char*() const { return text; }
};
FullName full_name(SectionId section, KeyId key);

bool same_word(std::string_view a, std::string_view b); // ASCII letters in any case
std::string upper(std::string_view text);

// Modes of the log channels; the library's LogMode has the same values.
enum class Mode : uint8_t { Off, On, All, NotificationsOnly, CommandsResponses, EnclosedFilter, ExclosedFilter };
const char* mode_word(Mode mode);
// What a Logging value asks of the channel: Off for OFF, null for a word that is no mode of it.
std::optional<Mode> mode_of(const Key& logging, std::string_view value);

// True when the library takes the value as it is written: it neither passes it over, nor reads
// it as something else (a Switch that is neither ON nor OFF, a MaxSize that is no size).
// Logging, File, Filter and Output take every value: what they do with it is the channel's and
// the console's business.
bool valid(const Key& key, std::string_view value);
// Switch: ON.
bool switch_on(std::string_view value);
// Choice: the index of the value's word in `words`.
std::optional<size_t> choice(const Key& key, std::string_view value);
// Number: the value within the key's limits.
std::optional<uint64_t> number(const Key& key, std::string_view value);
// SizeKb: the bound in bytes; 0: none.
uint64_t size_bytes(const Key& key, std::string_view value);

enum class OutputTarget : uint8_t { Default, Stderr, Off, File };
OutputTarget output_target(std::string_view value);

// Filters: up to FILTER_EXPRESSIONS expressions separated by commas (runs of commas are one
// separator), each up to FILTER_BYTES byte items separated by blanks: a hexadecimal number, with
// or without 0x, whose low byte counts, or a lower-case x for any byte. In a word the first hex
// digit or x begins the item and the rest of the word is passed over, as is a word without one.
inline constexpr int FILTER_EXPRESSIONS = 8;
inline constexpr int FILTER_BYTES = 8;

struct FilterExpression {
    std::string text;           // the expression as written, without its leading blanks
    std::vector<uint8_t> bytes; // a wildcard's byte is 0
    uint32_t wildcards = 0;     // bit k: byte k matches any byte
    bool cut = false;           // it had more than FILTER_BYTES items; the first are kept
    // Words that are not one whole item, and the item read from each (SIZE_MAX: none).
    struct OddWord {
        std::string word;
        size_t item;
    };
    std::vector<OddWord> odd;
};
struct Filter {
    size_t given = 0; // expressions in the value, before the limit
    std::vector<FilterExpression> expressions; // the first FILTER_EXPRESSIONS
};
Filter parse_filter(std::string_view value);
// "F0 x 02": the bytes in upper-case hex, x for a wildcard.
std::string expression_text(const uint8_t* bytes, size_t length, uint32_t wildcards);

// The library's settings of [ORMA_LINK] when the file says nothing (the table's texts say the
// same: config_table.cpp checks it while compiling).
inline constexpr uint32_t DEFAULT_RESPONSE_TIMEOUT_MS = 5000;
inline constexpr bool DEFAULT_RECONNECT = true;
inline constexpr bool DEFAULT_SPLIT_LONG_MESSAGES = false;
inline constexpr bool DEFAULT_SEND_QUEUED = true;
inline constexpr bool DEFAULT_START_WAIT_READY = true;
inline constexpr const char* DEFAULT_HOST = "127.0.0.1";
inline constexpr uint16_t DEFAULT_PORT = 5002;
inline constexpr const char* DEFAULT_COM_PORT = "1";

} // namespace orma_config
