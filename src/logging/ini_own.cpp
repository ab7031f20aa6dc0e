// The project's own INI reader. It reads the file line by line into a buffer of 1024 bytes,
// joins lines that end in a backslash, and keeps the entries in the order of their first
// appearance: a section as its lower-case name without a value, a key as "section:key" in
// lower case with its value. A repeated key keeps its place and takes the later value.
#include "logging/ini_own.h"

#include <cstdarg>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct IniOwnDict {
    struct Entry {
        std::string key;
        std::optional<std::string> value; // none for a section
    };
    std::vector<Entry> entries;

    const Entry* find(const std::string& key) const
    {
        for (const Entry& e : entries)
            if (e.key == key)
                return &e;
        return nullptr;
    }

    void set(const std::string& key, std::optional<std::string> value)
    {
        for (Entry& e : entries) {
            if (e.key == key) {
                e.value = std::move(value);
                return;
            }
        }
        entries.push_back(Entry{key, std::move(value)});
    }
};

namespace {

constexpr int LINE_SIZE = 1024;

// Character classes of the "C" locale; bytes above 0x7F are neither blank nor upper case.
bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string strip(const std::string& s)
{
    size_t begin = 0;
    size_t end = s.size();
    while (begin < end && is_space(s[begin]))
        ++begin;
    while (end > begin && is_space(s[end - 1]))
        --end;
    return s.substr(begin, end - begin);
}

enum class LineKind { Empty, Comment, Section, Value, Error };

// Classifies one joined line. A section line updates the current section (a pair of brackets
// with nothing between them leaves it as it was); a key line gives key and value. Names keep
// their case: the dictionary lowers them.
LineKind parse_line(const char* input, std::string& section, std::string& key, std::string& value)
{
    const std::string line = strip(input);
    const size_t n = line.size();
    if (n == 0)
        return LineKind::Empty;
    if (line[0] == '#' || line[0] == ';')
        return LineKind::Comment;
    if (line[0] == '[' && line[n - 1] == ']') {
        const size_t close = line.find(']', 1);
        if (close > 1)
            section = strip(line.substr(1, close - 1));
        else { // "[]" keeps the current section, stripped again and cut to the line's length less one
            section = strip(section);
            if (section.size() > n - 1)
                section.resize(n - 1);
        }
        return LineKind::Section;
    }

    // A key line: a non-empty name before the first '=', then the value.
    const size_t eq = line.find('=');
    if (eq == 0 || eq == std::string::npos)
        return LineKind::Error;
    key = strip(line.substr(0, eq));
    size_t pos = eq + 1;
    while (pos < n && is_space(line[pos]))
        ++pos;

    // A value in double or single quotes is taken as written up to the closing quote (or the
    // end of the line); an empty pair of quotes is handled below.
    for (const char quote : {'"', '\''}) {
        if (pos < n && line[pos] == quote) {
            const size_t end = line.find(quote, pos + 1);
            const size_t stop = end == std::string::npos ? n : end;
            if (stop > pos + 1) {
                value = line.substr(pos + 1, stop - pos - 1);
                return LineKind::Value;
            }
        }
    }
    // Otherwise the value runs to a comment character and loses its surrounding blanks.
    size_t stop = pos;
    while (stop < n && line[stop] != ';' && line[stop] != '#')
        ++stop;
    if (stop > pos) {
        value = strip(line.substr(pos, stop - pos));
        if (value == "\"\"" || value == "''")
            value.clear();
    } else {
        value.clear(); // "key =", "key = ; comment"
    }
    return LineKind::Value;
}

// Formats one complaint for the caller's sink.
void tell(IniComplaint complain, const char* format, ...)
{
    if (!complain)
        return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(n > 0 ? static_cast<size_t>(n) + 1 : 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    complain(text.c_str());
}

} // namespace

void ini_complain_to_stderr(const char* line)
{
    std::fputs(line, stderr);
}

bool ini_own_scan(const char* path, const std::function<void(const IniLine&)>& visit)
{
    if (!path)
        return false;
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "r"), std::fclose);
    if (!file)
        return false;
    std::FILE* in = file.get();
    char line[LINE_SIZE + 1] = {};
    IniLine out{};
    int last = 0; // length of the part already read of a line continued with a backslash
    int lineno = 0;

    while (std::fgets(line + last, LINE_SIZE - last, in) != nullptr) {
        ++lineno;
        if (last == 0)
            out.first = lineno;
        out.last = lineno;
        int len = static_cast<int>(std::strlen(line)) - 1;
        if (len <= 0)
            continue;
        if (line[len] != '\n' && !std::feof(in)) {
            out.kind = IniLine::Kind::TooLong;
            out.text = line;
            visit(out);
            return true;
        }
        while (len >= 0 && is_space(line[len])) {
            line[len] = '\0';
            --len;
        }
        if (len < 0)
            len = 0;
        if (line[len] == '\\') {
            last = len; // the next line is read over the backslash
            continue;
        }
        last = 0;

        out.key.clear();
        out.value.clear();
        switch (parse_line(line, out.section, out.key, out.value)) {
        case LineKind::Section:
            out.kind = IniLine::Kind::Section;
            break;
        case LineKind::Value:
            out.kind = IniLine::Kind::Key;
            break;
        case LineKind::Error:
            out.kind = IniLine::Kind::Error;
            break;
        case LineKind::Empty:
        case LineKind::Comment:
            std::memset(line, 0, LINE_SIZE);
            continue;
        }
        out.text = line;
        visit(out);
        std::memset(line, 0, LINE_SIZE);
    }
    return true;
}

IniOwnDict* ini_own_load(const char* path)
{
    return ini_own_load(path, ini_complain_to_stderr);
}

IniOwnDict* ini_own_load(const char* path, IniComplaint complain)
{
    if (!path)
        return nullptr;
    auto dict = std::make_unique<IniOwnDict>();
    int errors = 0;
    bool too_long = false;
    const bool opened = ini_own_scan(path, [&](const IniLine& line) {
        switch (line.kind) {
        case IniLine::Kind::Section:
            dict->set(lower(line.section), std::nullopt);
            break;
        case IniLine::Kind::Key:
            dict->set(lower(line.section) + ":" + lower(line.key), line.value);
            break;
        case IniLine::Kind::Error:
            tell(complain, "iniparser: syntax error in %s (%d):\n", path, line.last);
            tell(complain, "-> %s\n", line.text.c_str());
            ++errors;
            break;
        case IniLine::Kind::TooLong:
            tell(complain, "iniparser: input line too long in %s (%d)\n", path, line.last);
            too_long = true;
            break;
        }
    });
    if (!opened) {
        tell(complain, "iniparser: cannot open %s\n", path);
        return nullptr;
    }
    return errors || too_long ? nullptr : dict.release();
}

const char* ini_own_get(const IniOwnDict* dict, const char* key)
{
    if (!dict || !key)
        return nullptr;
    std::string name = lower(key);
    if (name.size() > LINE_SIZE)
        name.resize(LINE_SIZE);
    const IniOwnDict::Entry* e = dict->find(name);
    return e && e->value ? e->value->c_str() : nullptr;
}

void ini_own_dump(const IniOwnDict* dict, std::FILE* out)
{
    if (!dict || !out)
        return;
    // Sections are the entries without a colon.
    std::vector<const std::string*> sections;
    for (const auto& e : dict->entries)
        if (e.key.find(':') == std::string::npos)
            sections.push_back(&e.key);

    if (sections.empty()) {
        for (const auto& e : dict->entries)
            std::fprintf(out, "%s = %s\n", e.key.c_str(), e.value ? e.value->c_str() : "(null)");
        return;
    }
    for (const std::string* name : sections) {
        std::fprintf(out, "\n[%s]\n", name->c_str());
        const std::string prefix = *name + ":";
        for (const auto& e : dict->entries) {
            if (e.key.compare(0, prefix.size(), prefix) == 0)
                std::fprintf(out, "%-30s = %s\n", e.key.c_str() + prefix.size(), e.value ? e.value->c_str() : "");
        }
        std::fprintf(out, "\n");
    }
    std::fprintf(out, "\n");
}

void ini_own_free(IniOwnDict* dict)
{
    delete dict;
}
