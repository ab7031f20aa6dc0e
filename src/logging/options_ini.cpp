#include "logging/options_ini.h"

#include "config/config_table.h"

namespace {

using orma_config::KeyId;
using orma_config::SectionId;

// The value of a key of [ORMA_LINK] that the library takes, or null (absent, or passed over and
// reported).
const char* taken(const IniDict* dict, KeyId id, OptionProblem problem, void* context)
{
    const auto name = orma_config::full_name(SectionId::Link, id);
    const char* value = ini_get(dict, name);
    if (!value || orma_config::valid(orma_config::key(SectionId::Link, id), value))
        return value;
    if (problem)
        problem(name, value, context);
    return nullptr;
}

} // namespace

OrmaOptions options_read(const IniDict* dict, OptionProblem problem, void* context)
{
    OrmaOptions options;
    if (!dict)
        return options;
    for (const orma_config::Key& key : orma_config::section(SectionId::Link).keys) {
        const char* value = taken(dict, key.id, problem, context);
        if (!value)
            continue;
        // The first word of each choice is the setting's "on".
        const bool first_word = orma_config::choice(key, value) == 0u;
        switch (key.id) {
        case KeyId::ResponseTimeout:
            options.response_timeout_ms = static_cast<uint32_t>(*orma_config::number(key, value));
            break;
        case KeyId::Reconnect:
            options.reconnect = first_word;
            break;
        case KeyId::SplitLongMessages:
            options.split_long_messages = first_word;
            break;
        case KeyId::SendQueued:
            options.send_queued = first_word;
            break;
        case KeyId::StartWait:
            options.start_wait_ready = first_word;
            break;
        case KeyId::Host:
            options.host = value;
            break;
        case KeyId::Port:
            options.port = static_cast<uint16_t>(*orma_config::number(key, value));
            break;
        case KeyId::ComPort:
            options.com_port = value;
            break;
        case KeyId::Logging:
        case KeyId::File:
        case KeyId::Filter:
        case KeyId::MaxSize:
        case KeyId::Startup:
        case KeyId::LogListById:
        case KeyId::LogListByCU:
        case KeyId::Output:
            break; // not in this section
        }
    }
    const auto capture = [&](KeyId id) { return ini_get(dict, orma_config::full_name(SectionId::Capture, id)); };
    if (const char* file = capture(KeyId::File))
        options.capture_file = file;
    if (const char* max_size = capture(KeyId::MaxSize))
        options.capture_max_bytes =
            orma_config::size_bytes(orma_config::key(SectionId::Capture, KeyId::MaxSize), max_size);
    return options;
}
