// ormactl config. The library reads its log configuration in silence: a misspelt key reads as
// absent, an unknown section is never looked at, and an unknown mode value leaves an empty log
// file and stops the set-up of the channels after it. This check reads the file the same way and
// says so, and also what only shows later: two channels in one file, a folder that is missing
// or not writable. It must survive any file (it runs in the INI fuzz target): every file system
// call takes an error code instead of throwing.
#include "log_config_check.h"
#include "platform.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr const char* CONFIG_FILE = "ORMA_DLL_Log.ini";

// One section line (key empty) or key line of the file.
struct Entry {
    int line;
    std::string section;
    std::string key;
    std::string value;
};

std::string trim(const std::string& s)
{
    const size_t begin = s.find_first_not_of(" \t\r\n\v\f");
    if (begin == std::string::npos)
        return "";
    return s.substr(begin, s.find_last_not_of(" \t\r\n\v\f") - begin + 1);
}

std::string upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool same(const std::string& a, const std::string& b)
{
    return upper(a) == upper(b);
}

// A value is taken up to a comment character, without surrounding blanks, or as written
// between quotes.
std::string value_of(const std::string& text)
{
    const std::string v = trim(text);
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'')) {
        const size_t end = v.find(v[0], 1);
        return v.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    }
    return trim(v.substr(0, v.find_first_of(";#")));
}

struct IniFile {
    std::vector<Entry> entries;
    int bad_line = 0; // the first line that is neither section, comment nor key line

    // The value of the key (any case); a repeated key counts with its last value.
    const Entry* find(const std::string& section, const std::string& key) const
    {
        const Entry* found = nullptr;
        for (const Entry& e : entries)
            if (!e.key.empty() && same(e.section, section) && same(e.key, key))
                found = &e;
        return found;
    }
};

bool load(const fs::path& path, IniFile& ini)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::string raw;
    std::string text;
    std::string section;
    int number = 0;
    int first = 0;
    while (std::getline(in, raw)) {
        ++number;
        if (text.empty())
            first = number;
        text += trim(raw);
        if (!text.empty() && text.back() == '\\') { // continued on the next line
            text.pop_back();
            continue;
        }
        const std::string line = trim(text);
        text.clear();
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            section = trim(line.substr(1, line.find(']') - 1));
            ini.entries.push_back({first, section, "", ""});
        } else if (const size_t eq = line.find('='); eq != 0 && eq != std::string::npos) {
            ini.entries.push_back({first, section, trim(line.substr(0, eq)), value_of(line.substr(eq + 1))});
        } else if (!ini.bad_line) {
            ini.bad_line = first;
        }
    }
    return true;
}

struct Channel {
    const char* section;
    const char* name;
    const char* default_file;
    std::vector<std::string> modes; // the Logging values besides OFF
    std::vector<std::string> keys;
};

const Channel CHANNELS[] = {
    {"ORMA_GENERAL", "general", "ORMA_Notifications.txt",
     {"ALL", "NOTIFICATIONS_ONLY", "COMMANDS_RESPONSES", "ENCLOSED_FILTER", "EXCLOSED_FILTER"},
     {"Logging", "File", "Filter", "MaxSize"}},
    {"ORMA_ERROR", "error", "ORMA_ErrNotifications.txt", {"ALL", "ENCLOSED_FILTER", "EXCLOSED_FILTER"},
     {"Logging", "File", "Filter", "Startup", "MaxSize"}},
    {"ORMA_FSI", "FSI", "ORMA_FSINotifications.txt", {"ON"}, {"Logging", "File", "MaxSize"}},
    {"ORMA_CONFIGURED_SUBCHANNELS", "sub-channel", "ORMA_CfgSubChannels.txt", {"ON"},
     {"Logging", "File", "LogListById", "LogListByCU", "MaxSize"}},
};
const char* const SWITCH_KEYS[] = {"Startup", "LogListById", "LogListByCU"}; // only "ON" is on

// The library's own settings: the link's behaviour when things fail, and its console lines.
struct Settings {
    const char* section;
    std::vector<std::string> keys;
};
const Settings SETTINGS[] = {
    {"ORMA_LINK", {"ResponseTimeout", "Reconnect", "SplitLongMessages"}},
    {"ORMA_CONSOLE", {"Output"}},
};

// The absolute, normal form of a path; the text itself when the system cannot say.
fs::path absolute(const std::string& name)
{
    std::error_code ec;
    const fs::path p = fs::absolute(fs::path(name), ec);
    return ec ? fs::path(name) : p.lexically_normal();
}

bool digits_only(const std::string& value, size_t max_digits)
{
    return !value.empty() && value.size() <= max_digits &&
           value.find_first_not_of("0123456789") == std::string::npos;
}

std::string join(const std::vector<std::string>& words, const char* between)
{
    std::string text;
    for (const auto& w : words)
        text += (text.empty() ? "" : between) + w;
    return text;
}

// Letters changed, added or removed between two names, compared without case.
size_t distance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            const bool equal = std::toupper(static_cast<unsigned char>(a[i - 1])) ==
                               std::toupper(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (equal ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

std::string suggestion(const std::string& word, const std::vector<std::string>& known)
{
    for (const auto& k : known)
        if (distance(word, k) <= 2)
            return " (did you mean " + k + "?)";
    return "";
}

class Checker {
public:
    Checker(std::FILE* out, const IniFile& ini) : out_(out), ini_(ini) {}

    int run()
    {
        check_names();
        bool stopped = false;
        for (const Channel& ch : CHANNELS)
            stopped = report(ch, stopped);
        check_shared_files();
        report_link();
        report_console();
        if (warnings_ == 0)
            say("no warning: the library sets up the channels as shown");
        else
            say(std::to_string(warnings_) + (warnings_ == 1 ? " warning" : " warnings"));
        return warnings_ ? 1 : 0;
    }

private:
    void say(const std::string& text) { std::fprintf(out_, "ormactl: %s\n", text.c_str()); }

    void warn(int line, const std::string& text)
    {
        ++warnings_;
        say("warning: line " + std::to_string(line) + ": " + text);
    }

    // Unknown sections, keys outside a section, unknown keys, and switches that are not ON/OFF.
    void check_names()
    {
        std::vector<std::string> sections;
        for (const Channel& ch : CHANNELS)
            sections.push_back(ch.section);
        for (const Settings& s : SETTINGS)
            sections.push_back(s.section);
        for (const Entry& e : ini_.entries) {
            const Channel* ch = channel(e.section);
            const Settings* settings = settings_of(e.section);
            if (settings) {
                if (!e.key.empty() && !known(e.key, settings->keys))
                    warn(e.line, "unknown key " + e.key + " in [" + e.section + "]" + suggestion(e.key, settings->keys) +
                                     ", which knows " + join(settings->keys, ", ") + "; the library never reads it");
                continue;
            }
            if (e.key.empty()) {
                if (!ch)
                    warn(e.line, "unknown section [" + e.section + "]" + suggestion(e.section, sections) +
                                     "; the library reads only [" + join(sections, "], [") + "]");
            } else if (e.section.empty()) {
                warn(e.line, "key " + e.key + " outside any section is never read");
            } else if (ch && !known(e.key, ch->keys)) {
                warn(e.line, "unknown key " + e.key + " in [" + e.section + "]" + suggestion(e.key, ch->keys) +
                                 ", which knows " + join(ch->keys, ", ") + "; the library never reads it");
            } else if (ch && known(e.key, {std::begin(SWITCH_KEYS), std::end(SWITCH_KEYS)}) &&
                       !same(e.value, "ON") && !same(e.value, "OFF")) {
                warn(e.line, e.key + " = " + e.value + " reads as OFF: only ON turns it on");
            } else if (ch && same(e.key, "MaxSize") && !digits_only(e.value, 10)) {
                warn(e.line, "MaxSize = " + e.value + " is not a size in KB (digits only): the library sets no bound");
            }
        }
    }

    static const Settings* settings_of(const std::string& section)
    {
        for (const Settings& s : SETTINGS)
            if (same(section, s.section))
                return &s;
        return nullptr;
    }

    // Two channels that write one file garble each other's lines.
    void check_shared_files()
    {
        for (size_t i = 0; i < files_.size(); ++i)
            for (size_t j = i + 1; j < files_.size(); ++j)
                if (same_file(files_[i].path, files_[j].path))
                    warn(files_[j].line, std::string("the ") + files_[i].channel + " and " + files_[j].channel +
                                             " channels both write " + files_[j].path.string() +
                                             ": their lines garble each other; give each its own File");
    }

    static bool same_file(const fs::path& a, const fs::path& b)
    {
        if (a == b)
            return true;
        std::error_code ec;
        return fs::equivalent(a, b, ec) && !ec; // a link, or a name in other case on Windows
    }

    // Warns when the library will not be able to create (or empty) the file; true when it can.
    bool check_writable(int at, const std::string& what, const fs::path& path)
    {
        std::error_code ec;
        const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
        if (fs::is_directory(path, ec)) {
            warn(at, what + " " + path.string() + " is a folder: the library cannot create it");
            return false;
        }
        if (!fs::is_directory(folder, ec)) {
            warn(at, what + " " + path.string() + " is in a folder that does not exist (" + folder.string() +
                         "): the library cannot create it");
            return false;
        }
        if (!platform_can_write(folder.string()) || (fs::exists(path, ec) && !platform_can_write(path.string()))) {
            warn(at, what + " " + path.string() + " cannot be written here (no permission): the library cannot create it");
            return false;
        }
        return true;
    }

    void report_link()
    {
        const Entry* timeout = ini_.find("ORMA_LINK", "ResponseTimeout");
        std::string deadline = "5000 ms";
        if (timeout) {
            const unsigned long ms = digits_only(timeout->value, 8) ? std::stoul(timeout->value) : 86400001ul;
            if (ms <= 86400000ul)
                deadline = ms == 0 ? "none (waits forever)" : std::to_string(ms) + " ms";
            else
                warn(timeout->line, "ResponseTimeout = " + timeout->value +
                                        " is not a number of milliseconds from 0 to 86400000: the library keeps 5000");
        }
        const bool reconnect = on_off("Reconnect", true);
        const bool split = on_off("SplitLongMessages", false);
        std::fprintf(out_, "ormactl: %-11s response deadline %s, %s, long USB messages %s\n", "link", deadline.c_str(),
                     reconnect ? "reconnects every 300 ms" : "no reconnection", split ? "split" : "refused");
    }

    bool on_off(const char* key, bool fallback)
    {
        const Entry* e = ini_.find("ORMA_LINK", key);
        if (!e)
            return fallback;
        if (same(e->value, "ON"))
            return true;
        if (same(e->value, "OFF"))
            return false;
        warn(e->line, std::string(key) + " = " + e->value + " is neither ON nor OFF: the library keeps " +
                          (fallback ? "ON" : "OFF"));
        return fallback;
    }

    void report_console()
    {
        const Entry* output = ini_.find("ORMA_CONSOLE", "Output");
        const std::string value = output ? output->value : "";
        std::string text;
        if (value.empty() || same(value, "DEFAULT")) {
            text = "each line on its stream (DEFAULT)";
        } else if (same(value, "STDERR")) {
            text = "every line to standard error";
        } else if (same(value, "OFF")) {
            text = "silent";
        } else {
            const fs::path path = absolute(value);
            text = "appended to " + path.string();
            if (!check_writable(output->line, "console output file", path))
                text += "; cannot be opened, so each line stays on its stream";
            for (const auto& f : files_)
                if (same_file(f.path, path))
                    warn(output->line, "the console output file is also the " + std::string(f.channel) +
                                           " channel's log file: their lines garble each other");
        }
        std::fprintf(out_, "ormactl: %-11s %s\n", "console", text.c_str());
    }

    static const Channel* channel(const std::string& section)
    {
        for (const Channel& ch : CHANNELS)
            if (same(section, ch.section))
                return &ch;
        return nullptr;
    }

    static bool known(const std::string& word, const std::vector<std::string>& names)
    {
        for (const auto& n : names)
            if (same(word, n))
                return true;
        return false;
    }

    void line(const Channel& ch, const std::string& text)
    {
        std::fprintf(out_, "ormactl: %-11s %s\n", ch.name, text.c_str());
    }

    // Reports one channel as the library sets it up; true when the set-up stops here (the
    // library then reads no later section).
    bool report(const Channel& ch, bool stopped)
    {
        if (stopped) {
            line(ch, "not set up: the library stopped at a section before");
            return true;
        }
        const Entry* logging = ini_.find(ch.section, "Logging");
        if (!logging || same(logging->value, "OFF")) {
            line(ch, logging ? "off" : "off (no Logging key)");
            return false;
        }
        const Entry* file = ini_.find(ch.section, "File");
        if (file && file->value.empty()) {
            warn(file->line, "[" + std::string(ch.section) + "] File is empty: the library cannot create a file "
                                                                 "without a name and sets up no later channel");
            line(ch, "off (no file name)");
            return true;
        }
        const fs::path full = absolute(file ? file->value : ch.default_file);
        const std::string path = full.string();
        const int file_line = file ? file->line : logging->line;
        if (!check_writable(file_line, "log file", full)) {
            line(ch, "off (cannot create " + path + "); the library sets up no later channel");
            return true;
        }
        files_.push_back({ch.name, full, file_line});
        const std::string mode = upper(logging->value);
        if (!known(mode, ch.modes)) {
            warn(logging->line, "[" + std::string(ch.section) + "] Logging = " + logging->value +
                                    " is no mode of this channel (OFF, " + join(ch.modes, ", ") +
                                    "): the library empties " + path + ", logs nothing into it and sets up no "
                                    "later channel");
            line(ch, "off (unknown mode " + logging->value + ")");
            return true;
        }
        std::string text = mode + " -> " + path;
        bool stop = false;
        if (mode == "ENCLOSED_FILTER" || mode == "EXCLOSED_FILTER")
            stop = !describe_filter(ch, mode, text);
        if (same(ch.section, "ORMA_ERROR") && on(ch, "Startup"))
            text += ", restart banner";
        if (same(ch.section, "ORMA_FSI"))
            text += " (the configuration dump only)";
        if (const Entry* max = ini_.find(ch.section, "MaxSize"); max && digits_only(max->value, 10) &&
                                                                  std::stoull(max->value) > 0)
            text += ", at most " + max->value + " KB, then renamed to " + full.filename().string() + ".1";
        if (on(ch, "LogListById") || on(ch, "LogListByCU"))
            text += std::string(", table") + (on(ch, "LogListById") ? " by id" : "") +
                    (on(ch, "LogListById") && on(ch, "LogListByCU") ? " and" : "") +
                    (on(ch, "LogListByCU") ? " by start CU" : "");
        line(ch, text);
        return stop;
    }

    bool on(const Channel& ch, const char* key) const
    {
        const Entry* e = ini_.find(ch.section, key);
        return e && same(e->value, "ON");
    }

    // Appends the filter as the library uses it; false when it has no expression at all (the
    // set-up stops there).
    bool describe_filter(const Channel& ch, const std::string& mode, std::string& text)
    {
        const Entry* filter = ini_.find(ch.section, "Filter");
        const int at = filter ? filter->line : ini_.find(ch.section, "Logging")->line;
        std::vector<std::string> items; // between commas; runs of commas are one separator
        for (size_t start = 0; filter && start < filter->value.size();) {
            const size_t comma = std::min(filter->value.find(',', start), filter->value.size());
            if (comma > start)
                items.push_back(filter->value.substr(start, comma - start));
            start = comma + 1;
        }
        const std::string empty = mode == "ENCLOSED_FILTER" ? "logs nothing" : "logs every message it takes";
        if (items.empty()) {
            warn(at, std::string("no filter expression for ") + mode + ": the " + ch.name + " channel " + empty +
                         " and the library sets up no later channel");
            text += ", no filter";
            return false;
        }
        if (items.size() > 8) {
            warn(at, "more than 8 filter expressions: the library uses the first 8");
            items.resize(8);
        }
        std::vector<std::string> used;
        for (const std::string& item : items) {
            const std::string expression = filter_expression(at, trim(item));
            if (same(ch.section, "ORMA_ERROR") && expression.rfind("F0", 0) != 0)
                warn(at, "filter expression \"" + trim(item) + "\" is dropped: the error channel keeps only "
                                                                 "expressions that begin with F0");
            else
                used.push_back(expression);
        }
        text += used.empty() ? ", empty filter: " + empty : ", filter " + join(used, " | ");
        return true;
    }

    // One expression as bytes in hex and x for a wildcard, at most 8 of them.
    std::string filter_expression(int at, const std::string& item)
    {
        std::vector<std::string> bytes;
        size_t pos = 0;
        while ((pos = item.find_first_not_of(" \t", pos)) != std::string::npos) {
            const size_t end = std::min(item.find_first_of(" \t", pos), item.size());
            const std::string word = item.substr(pos, end - pos);
            pos = end;
            char* stop = nullptr;
            const unsigned long number = std::strtoul(word.c_str(), &stop, 16);
            if (word != "x" && *stop != '\0') {
                warn(at, "\"" + word + "\" in filter expression \"" + item + "\" is neither a hex byte nor x");
                continue;
            }
            if (bytes.size() == 8) {
                warn(at, "filter expression \"" + item + "\" has more than 8 bytes: the library uses the first 8");
                break;
            }
            char cell[4];
            std::snprintf(cell, sizeof cell, "%02lX", number & 0xFF);
            bytes.push_back(word == "x" ? "x" : cell);
        }
        return join(bytes, " ");
    }

    struct File {
        const char* channel;
        fs::path path;
        int line;
    };

    std::FILE* out_;
    const IniFile& ini_;
    int warnings_ = 0;
    std::vector<File> files_; // the log files the library will open, in channel order
};

} // namespace

int check_log_config(std::FILE* out)
{
    return check_log_config_file(CONFIG_FILE, out);
}

int check_log_config_file(const char* name, std::FILE* out)
{
    const fs::path path = absolute(name);
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        std::fprintf(out,
                     "ormactl: warning: %s is a folder, not a file: the library cannot read it and logs nothing\n",
                     path.string().c_str());
        return 1;
    }
    IniFile ini;
    if (!load(path, ini)) {
        std::fprintf(out,
                     "ormactl: no log configuration: %s cannot be read\n"
                     "ormactl: the library reads %s from the current folder of the host program at "
                     "ORMA_DLL_Init and logs nothing without it (config/%s of the project is a sample)\n",
                     path.string().c_str(), CONFIG_FILE, CONFIG_FILE);
        return 1;
    }
    std::fprintf(out, "ormactl: log configuration %s\n", path.string().c_str());
    if (ini.bad_line) {
        std::fprintf(out,
                     "ormactl: warning: line %d: neither a section, a comment nor key = value: the library "
                     "reads nothing of this file and logs nothing\n",
                     ini.bad_line);
        return 1;
    }
    return Checker(out, ini).run();
}
