// ormactl config. The library reads its log configuration in silence: a misspelt key reads as
// absent, an unknown section is never looked at, and an unknown mode value leaves an empty log
// file and stops the set-up of the channels after it. This check reads the file through the
// library's own INI layer and holds every line against the table of the INI file
// (src/config), so it knows what the library knows; it says what the library will make of the
// file, and also what only shows later: two channels in one file, a folder that is missing or
// not writable. It must survive any file (it runs in the INI fuzz target): every file system
// call takes an error code instead of throwing.
#include "log_config_check.h"
#include "platform.h"

#include "logging/ini.h"
#include "logging/ini_own.h"
#include "logging/options_ini.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace cfg = orma_config;
using cfg::KeyId;
using cfg::SectionId;

// The file as the library reads it: the values through the library's reader, and where each
// entry stands and how it is written through the own reader's scanner, which has the same
// grammar (a differential test holds the two readers together).
struct IniFile {
    std::unique_ptr<IniDict, void (*)(IniDict*)> dict{nullptr, ini_free};
    std::vector<IniLine> lines; // sections and keys, in order

    const char* value(SectionId s, KeyId k) const { return ini_get(dict.get(), cfg::full_name(s, k)); }

    static bool same_entry(const IniLine& a, const IniLine& b)
    {
        return cfg::same_word(a.section, b.section) && cfg::same_word(a.key, b.key);
    }

    // The line of the entry that counts (the last of its name); 0 without one.
    int line(SectionId s, KeyId k) const
    {
        const auto entry = std::find_if(lines.rbegin(), lines.rend(), [&](const IniLine& l) {
            return l.kind == IniLine::Kind::Key && cfg::same_word(l.section, cfg::section(s).name) &&
                   cfg::same_word(l.key, cfg::key(s, k).name);
        });
        return entry == lines.rend() ? 0 : entry->first;
    }

    bool counts(size_t index) const
    {
        return std::none_of(lines.begin() + static_cast<std::ptrdiff_t>(index) + 1, lines.end(),
                            [&](const IniLine& l) { return same_entry(l, lines[index]); });
    }
};

// The absolute, normal form of a path; the text itself when the system cannot say.
fs::path absolute(const std::string& name)
{
    std::error_code ec;
    const fs::path p = fs::absolute(fs::path(name), ec);
    return ec ? fs::path(name) : p.lexically_normal();
}

template <typename Words>
std::string join(const Words& words, const char* between)
{
    std::string text;
    for (const auto& w : words)
        text += (text.empty() ? "" : between) + std::string(w);
    return text;
}

std::vector<std::string> key_names(const cfg::Section& s)
{
    std::vector<std::string> names;
    for (const cfg::Key& k : s.keys)
        names.emplace_back(k.name);
    return names;
}

// Letters changed, added or removed between two names, compared without case.
size_t distance(const std::string& word, const std::string& name)
{
    const std::string a = cfg::upper(word);
    const std::string b = cfg::upper(name);
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
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

// What is wrong with a value that the library does not take as written, and what it does
// instead; none for a value it takes. Logging, File, Filter and Output are the channel's and
// the console's report.
std::optional<std::string> value_problem(const cfg::Key& k, const std::string& value)
{
    if (cfg::valid(k, value))
        return std::nullopt;
    const std::string head = std::string(k.name) + " = " + (value.empty() ? "\"\"" : value);
    const std::string keeps = std::string(": the library keeps ") + (k.default_value ? k.default_value : "none");
    const std::string min = std::to_string(k.min);
    const std::string max = std::to_string(k.max);
    switch (k.kind) {
    case cfg::Kind::Switch:
        return head + " reads as " + k.words[1] + ": only " + k.words[0] + " turns it on";
    case cfg::Kind::Choice:
        return head + " is " +
               (k.words.size() == 2 ? std::string("neither ") + k.words[0] + " nor " + k.words[1]
                                    : "none of " + join(k.words, ", ")) +
               keeps;
    case cfg::Kind::SizeKb:
        return head + " is not a size in KB (digits only): the library sets no bound";
    case cfg::Kind::Number:
        return head + " is not " + k.what + " from " + min + " to " + max + keeps;
    case cfg::Kind::Text:
        return head + " is not " + k.what + " of " + min + " to " + max + " characters" + keeps;
    case cfg::Kind::PortOrDevice:
        return head + " is neither a number from " + min + " nor " + k.what + " of at most " + max + " characters" +
               keeps;
    case cfg::Kind::Mode:
    case cfg::Kind::FileName:
    case cfg::Kind::Filter:
    case cfg::Kind::Output:
        break;
    }
    return std::nullopt;
}

std::string without_trailing_blanks(std::string text)
{
    text.erase(text.find_last_not_of(" \t\r\n\v\f") + 1);
    return text;
}

class Checker {
public:
    Checker(std::FILE* out, const IniFile& ini, LogConfigView& view) : out_(out), ini_(ini), view_(view) {}

    int run()
    {
        check_lines();
        bool stopped = false;
        for (const cfg::Section& s : cfg::sections()) {
            if (s.channel) {
                view_.channels.emplace_back();
                stopped = report(s, view_.channels.back(), stopped);
            }
        }
        check_shared_files();
        report_link();
        report_console();
        report_capture();
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

    // Every line against the table: unknown sections, keys outside a section, unknown keys, and
    // values that the library passes over or reads as something else.
    void check_lines()
    {
        std::vector<std::string> sections;
        for (const cfg::Section& s : cfg::sections())
            sections.emplace_back(s.name);
        for (size_t i = 0; i < ini_.lines.size(); ++i) {
            const IniLine& l = ini_.lines[i];
            const cfg::Section* s = cfg::find_section(l.section);
            if (l.kind == IniLine::Kind::Section) {
                if (!s)
                    warn(l.first, "unknown section [" + l.section + "]" + suggestion(l.section, sections) +
                                      "; the library reads only [" + join(sections, "], [") + "]");
                continue;
            }
            if (l.section.empty()) {
                warn(l.first, "key " + l.key + " outside any section is never read");
                continue;
            }
            if (!s)
                continue; // the section is reported
            const cfg::Key* k = cfg::find_key(*s, l.key);
            if (!k) {
                const auto names = key_names(*s);
                warn(l.first, "unknown key " + l.key + " in [" + l.section + "]" + suggestion(l.key, names) +
                                  ", which knows " + join(names, ", ") + "; the library never reads it");
                continue;
            }
            if (!ini_.counts(i))
                continue; // a later line of the same key replaces it
            const char* value = ini_.value(s->id, k->id);
            if (const auto problem = value_problem(*k, value ? value : l.value))
                warn(l.first, *problem);
        }
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

    // The settings as the library's own reader of [ORMA_LINK] takes them; check_lines has
    // reported the values it passes over.
    void report_link()
    {
        const OrmaOptions& o = view_.link = options_read(ini_.dict.get());
        const std::string deadline =
            o.response_timeout_ms == 0 ? "none (waits forever)" : std::to_string(o.response_timeout_ms) + " ms";
        std::fprintf(out_, "ormactl: %-11s response deadline %s, %s, long USB messages %s\n", "link", deadline.c_str(),
                     o.reconnect ? "reconnects every 300 ms" : "no reconnection",
                     o.split_long_messages ? "split" : "refused");
        const auto& start_wait = cfg::key(SectionId::Link, KeyId::StartWait);
        std::fprintf(out_, "ormactl: %-11s module at %s port %u (mode 2) or on serial port %s (mode 1); Init %s",
                     "link", o.host.c_str(), unsigned{o.port}, o.com_port.c_str(),
                     o.start_wait_ready ? "returns once the link is up" : "always waits its fixed time");
        std::fprintf(out_, " (StartWait = %s)\n", start_wait.words[o.start_wait_ready ? 0 : 1]);
    }

    void report_console()
    {
        const char* output = ini_.value(SectionId::Console, KeyId::Output);
        std::string text;
        switch (cfg::output_target(output ? output : "")) {
        case cfg::OutputTarget::Default:
            text = "each line on its stream (DEFAULT)";
            break;
        case cfg::OutputTarget::Stderr:
            text = "every line to standard error";
            break;
        case cfg::OutputTarget::Off:
            text = "silent";
            break;
        case cfg::OutputTarget::File: {
            const int at = ini_.line(SectionId::Console, KeyId::Output);
            const fs::path path = absolute(output);
            text = "appended to " + path.string();
            if (!check_writable(at, "console output file", path))
                text += "; cannot be opened, so each line stays on its stream";
            for (const auto& f : files_)
                if (same_file(f.path, path))
                    warn(at, "the console output file is also the " + std::string(f.channel) +
                                 " channel's log file: their lines garble each other");
            break;
        }
        }
        std::fprintf(out_, "ormactl: %-11s %s\n", "console", text.c_str());
    }

    void report_capture()
    {
        const char* file = ini_.value(SectionId::Capture, KeyId::File);
        if (!file || !*file) {
            std::fprintf(out_, "ormactl: %-11s off (no File key)\n", "capture");
            return;
        }
        const int at = ini_.line(SectionId::Capture, KeyId::File);
        const fs::path path = absolute(file);
        std::string text = "into " + path.string();
        const char* max_size = ini_.value(SectionId::Capture, KeyId::MaxSize);
        const uint64_t bound = max_size ? cfg::size_bytes(cfg::key(SectionId::Capture, KeyId::MaxSize), max_size) : 0;
        text += bound ? ", at most " + std::to_string(bound / 1024) + " KB, then " + path.filename().string() + ".1"
                      : ", no bound";
        if (!check_writable(at, "capture file", path))
            text += "; cannot be created, so nothing is captured";
        std::fprintf(out_, "ormactl: %-11s %s\n", "capture", text.c_str());
    }

    void line(const cfg::Section& s, const std::string& text)
    {
        std::fprintf(out_, "ormactl: %-11s %s\n", s.channel, text.c_str());
    }

    bool on(const cfg::Section& s, KeyId k) const
    {
        const char* value = cfg::find_key(s, k) ? ini_.value(s.id, k) : nullptr;
        return value && cfg::switch_on(value);
    }

    // Reports one channel as the library sets it up; true when the set-up stops here (the
    // library then reads no later section).
    bool report(const cfg::Section& s, LogConfigView::Channel& view, bool stopped)
    {
        if (stopped) {
            line(s, "not set up: the library stopped at a section before");
            return true;
        }
        const std::string section = std::string("[") + s.name + "]";
        const cfg::Key& logging = cfg::key(s.id, KeyId::Logging);
        const char* requested = ini_.value(s.id, KeyId::Logging);
        const auto mode = requested ? cfg::mode_of(logging, requested) : std::optional(cfg::Mode::Off);
        if (mode == cfg::Mode::Off) {
            line(s, requested ? "off" : "off (no Logging key)");
            return false;
        }
        const char* file = ini_.value(s.id, KeyId::File);
        if (file && !*file) {
            warn(ini_.line(s.id, KeyId::File), section + " File is empty: the library cannot create a file without a "
                                                         "name and sets up no later channel");
            line(s, "off (no file name)");
            return true;
        }
        const fs::path full = absolute(file ? file : cfg::key(s.id, KeyId::File).default_value);
        const std::string path = full.string();
        const int logging_line = ini_.line(s.id, KeyId::Logging);
        const int file_line = file ? ini_.line(s.id, KeyId::File) : logging_line;
        if (!check_writable(file_line, "log file", full)) {
            line(s, "off (cannot create " + path + "); the library sets up no later channel");
            return true;
        }
        files_.push_back({s.channel, full, file_line});
        if (!mode) {
            warn(logging_line, section + " Logging = " + requested + " is no mode of this channel (" +
                                   cfg::mode_word(cfg::Mode::Off) + ", " + join(logging.words, ", ") +
                                   "): the library empties " + path + ", logs nothing into it and sets up no "
                                   "later channel");
            line(s, std::string("off (unknown mode ") + requested + ")");
            return true;
        }
        view.mode = *mode;
        view.file = path;
        std::string text = std::string(cfg::mode_word(*mode)) + " -> " + path;
        bool stop = false;
        if (*mode == cfg::Mode::EnclosedFilter || *mode == cfg::Mode::ExclosedFilter)
            stop = !describe_filter(s, *mode, view, text);
        view.banner = on(s, KeyId::Startup);
        if (view.banner)
            text += ", restart banner";
        if (s.id == SectionId::Fsi)
            text += " (the configuration dump only)";
        if (const char* max = ini_.value(s.id, KeyId::MaxSize))
            view.max_bytes = cfg::size_bytes(cfg::key(s.id, KeyId::MaxSize), max);
        if (view.max_bytes)
            text += ", at most " + std::to_string(view.max_bytes / 1024) + " KB, then renamed to " +
                    full.filename().string() + ".1";
        view.by_id = on(s, KeyId::LogListById);
        view.by_cu = on(s, KeyId::LogListByCU);
        if (view.by_id || view.by_cu)
            text += std::string(", table") + (view.by_id ? " by id" : "") + (view.by_id && view.by_cu ? " and" : "") +
                    (view.by_cu ? " by start CU" : "");
        line(s, text);
        return stop;
    }

    // Appends the filter as the library uses it; false when it has no expression at all (the
    // set-up stops there).
    bool describe_filter(const cfg::Section& s, cfg::Mode mode, LogConfigView::Channel& view, std::string& text)
    {
        const char* value = ini_.value(s.id, KeyId::Filter);
        const int at = ini_.line(s.id, value ? KeyId::Filter : KeyId::Logging);
        const cfg::Filter filter = cfg::parse_filter(value ? value : "");
        const std::string empty = mode == cfg::Mode::EnclosedFilter ? "logs nothing" : "logs every message it takes";
        if (filter.given == 0) {
            warn(at, std::string("no filter expression for ") + cfg::mode_word(mode) + ": the " + s.channel +
                         " channel " + empty + " and the library sets up no later channel");
            text += ", no filter";
            return false;
        }
        const std::string limit = std::to_string(cfg::FILTER_EXPRESSIONS);
        if (filter.given > cfg::FILTER_EXPRESSIONS)
            warn(at, "more than " + limit + " filter expressions: the library uses the first " + limit);
        const int first = cfg::key(s.id, KeyId::Filter).first_byte;
        for (const cfg::FilterExpression& e : filter.expressions) {
            const std::string shown = without_trailing_blanks(e.text);
            for (const auto& [word, item] : e.odd) {
                const std::string read =
                    item < e.bytes.size() ? "reads it as " + cfg::expression_text(&e.bytes[item], 1, e.wildcards >> item)
                                          : "passes it over";
                warn(at, "\"" + word + "\" in filter expression \"" + shown +
                             "\" is neither a hex byte nor x: the library " + read);
            }
            if (e.cut)
                warn(at, "filter expression \"" + shown + "\" has more than " + std::to_string(cfg::FILTER_BYTES) +
                             " bytes: the library uses the first " + std::to_string(cfg::FILTER_BYTES));
            if (first >= 0 && (e.bytes.empty() || (e.wildcards & 1u) || e.bytes[0] != first)) {
                const auto byte = static_cast<uint8_t>(first);
                warn(at, "filter expression \"" + shown + "\" is dropped: the " + s.channel +
                             " channel keeps only expressions that begin with " + cfg::expression_text(&byte, 1, 0));
                continue;
            }
            view.filter.push_back(cfg::expression_text(e.bytes.data(), e.bytes.size(), e.wildcards));
        }
        text += view.filter.empty() ? ", empty filter: " + empty : ", filter " + join(view.filter, " | ");
        return true;
    }

    struct File {
        const char* channel;
        fs::path path;
        int line;
    };

    std::FILE* out_;
    const IniFile& ini_;
    LogConfigView& view_;
    int warnings_ = 0;
    std::vector<File> files_; // the log files the library will open, in channel order
};

} // namespace

int check_log_config(std::FILE* out)
{
    return check_log_config_file(orma_config::FILE_NAME, out);
}

int check_log_config_file(const char* name, std::FILE* out)
{
    LogConfigView view;
    return check_log_config_file(name, out, view);
}

int check_log_config_file(const char* name, std::FILE* out, LogConfigView& view)
{
    view = LogConfigView{};
    const fs::path path = absolute(name);
    const std::string file = path.string();
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        std::fprintf(out, "ormactl: warning: %s is a folder, not a file: the library cannot read it and logs nothing\n",
                     file.c_str());
        return 1;
    }
    IniFile ini;
    std::optional<IniLine> fault;
    const bool opened = ini_own_scan(file.c_str(), [&](const IniLine& l) {
        if (l.kind == IniLine::Kind::Section || l.kind == IniLine::Kind::Key)
            ini.lines.push_back(l);
        else if (!fault)
            fault = l;
    });
    if (!opened) {
        std::fprintf(out,
                     "ormactl: no log configuration: %s cannot be read\n"
                     "ormactl: the library reads %s from the current folder of the host program at "
                     "ORMA_DLL_Init and logs nothing without it (config/%s of the project is a sample)\n",
                     file.c_str(), orma_config::FILE_NAME, orma_config::FILE_NAME);
        return 1;
    }
    std::fprintf(out, "ormactl: log configuration %s\n", file.c_str());
    ini.dict.reset(ini_read(file.c_str(), nullptr));
    if (!ini.dict) {
        std::string why = "the library's INI reader refuses this file";
        if (fault)
            why = "line " + std::to_string(fault->first) + ": " +
                  (fault->kind == IniLine::Kind::Error ? "neither a section, a comment nor key = value"
                                                       : "too long for the library's INI reader");
        std::fprintf(out, "ormactl: warning: %s: the library reads nothing of this file and logs nothing\n",
                     why.c_str());
        return 1;
    }
    view.readable = true;
    return Checker(out, ini, view).run();
}
