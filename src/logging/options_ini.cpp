#include "logging/options_ini.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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

    void one_of(const char* key, const char* yes, const char* no, bool& out) const
    {
        const char* value = ini_get(dict, key);
        if (!value)
            return;
        const std::string word = upper(value);
        if (word == yes)
            out = true;
        else if (word == no)
            out = false;
        else
            passed_over(key, value);
    }

    void text(const char* key, std::string& out) const
    {
        const char* value = ini_get(dict, key);
        if (!value)
            return;
        if (value[0] == '\0' || std::strlen(value) > 255)
            passed_over(key, value);
        else
            out = value;
    }

    void port(const char* key, uint16_t& out) const
    {
        const char* value = ini_get(dict, key);
        if (!value)
            return;
        char* end = nullptr;
        errno = 0;
        const unsigned long n = std::strtoul(value, &end, 10);
        if (!std::isdigit(static_cast<unsigned char>(value[0])) || *end != '\0' || errno || n < 1 || n > 65535)
            passed_over(key, value);
        else
            out = static_cast<uint16_t>(n);
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
    r.one_of("ORMA_LINK:StartWait", "READY", "FIXED", options.start_wait_ready);
    r.text("ORMA_LINK:Host", options.host);
    r.port("ORMA_LINK:Port", options.port);
    r.text("ORMA_LINK:ComPort", options.com_port);
    return options;
}
