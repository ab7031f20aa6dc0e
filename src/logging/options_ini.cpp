#include "logging/options_ini.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

std::string upper(const char* value)
{
    std::string s(value);
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

struct Reader {
    const IniDict* dict;
    OptionProblem problem;
    void* context;

    void passed_over(const char* key, const char* value) const
    {
        if (problem)
            problem(key, value, context);
    }

    void on_off(const char* key, bool& out) const
    {
        const char* value = ini_get(dict, key);
        if (!value)
            return;
        const std::string word = upper(value);
        if (word == "ON")
            out = true;
        else if (word == "OFF")
            out = false;
        else
            passed_over(key, value);
    }

    void milliseconds(const char* key, uint32_t& out) const
    {
        const char* value = ini_get(dict, key);
        if (!value)
            return;
        char* end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(value, &end, 10);
        // Digits only, at most a day: a sign, a fraction or a unit is a mistake to report.
        if (!std::isdigit(static_cast<unsigned char>(value[0])) || *end != '\0' || errno || n > 86400000ull)
            passed_over(key, value);
        else
            out = static_cast<uint32_t>(n);
    }
};

} // namespace

OrmaOptions options_read(const IniDict* dict, OptionProblem problem, void* context)
{
    OrmaOptions options;
    if (!dict)
        return options;
    const Reader r{dict, problem, context};
    r.milliseconds("ORMA_LINK:ResponseTimeout", options.response_timeout_ms);
    r.on_off("ORMA_LINK:Reconnect", options.reconnect);
    r.on_off("ORMA_LINK:SplitLongMessages", options.split_long_messages);
    return options;
}
