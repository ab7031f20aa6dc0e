// The project's own INI reader against the iniparser library: every file of the configuration
// loader's seed corpus (fuzz/corpus/fuzz_log_config) must give the same load result, the same
// console messages, the same look-ups and byte-identical dumps.
#include "logging/ini_own.h"

#include <iniparser.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

namespace {

std::string dump_to_string(const std::function<void(std::FILE*)>& dump)
{
    std::FILE* f = std::tmpfile();
    dump(f);
    std::string out(static_cast<size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    out.resize(std::fread(out.data(), 1, out.size(), f));
    std::fclose(f);
    return out;
}

// Names that the dumps do not show: absent and hidden keys, sections, odd spellings.
const char* const EXTRA_KEYS[] = {
    "", "absent:key", "#k2", ":also", ":k", ":k0", ":k1", ":other", ":top", "k", "top", "x", "a:b", "a:b:k", "a:b:k2",
    "ORMA_FSI", "Spaced Section:Key One", "S\xc3\x89:K\xc3\xa9", "l:k2", "lo:k3", "long :k4", "s:", "s:k2", "s:x",
    "c:end", "q:lone", "q:u", "e:g", "x:k4"};

TEST(IniDiff, EveryCorpusFileGivesTheSameLoadLookupsAndDump)
{
    std::vector<std::string> paths = {"no_such.ini"}; // a missing file is reported alike
    for (const auto& entry : std::filesystem::directory_iterator(ORMA_INI_CORPUS))
        paths.push_back(entry.path().string());
    EXPECT_GT(paths.size(), 20u);
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        testing::internal::CaptureStderr();
        dictionary* lib = iniparser_load(path.c_str());
        const std::string lib_err = testing::internal::GetCapturedStderr();
        testing::internal::CaptureStderr();
        IniOwnDict* own = ini_own_load(path.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), lib_err);
        ASSERT_EQ(own == nullptr, lib == nullptr);
        if (!lib)
            continue;
        const std::string lib_dump = dump_to_string([&](std::FILE* f) { iniparser_dump_ini(lib, f); });
        EXPECT_EQ(dump_to_string([&](std::FILE* f) { ini_own_dump(own, f); }), lib_dump);

        // Every section and "section:key" of the dump, as shown and in upper case.
        std::set<std::string> keys(std::begin(EXTRA_KEYS), std::end(EXTRA_KEYS));
        std::string section;
        for (size_t pos = 0, end; pos < lib_dump.size(); pos = end + 1) {
            end = std::min(lib_dump.find('\n', pos), lib_dump.size());
            const std::string line = lib_dump.substr(pos, end - pos);
            std::string name;
            if (line.size() > 2 && line.front() == '[' && line.back() == ']')
                name = section = line.substr(1, line.size() - 2);
            else if (const size_t eq = line.find(" = "); eq != std::string::npos)
                name = (section.empty() ? "" : section + ":") + line.substr(0, line.find_last_not_of(' ', eq) + 1);
            keys.insert(name);
            for (char& c : name)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            keys.insert(name);
        }
        for (const std::string& key : keys) {
            const char* a = iniparser_getstring(lib, key.c_str(), nullptr);
            const char* b = ini_own_get(own, key.c_str());
            EXPECT_EQ(std::string(b ? b : "(none)"), std::string(a ? a : "(none)")) << "key \"" << key << "\"";
        }
        iniparser_freedict(lib);
        ini_own_free(own);
    }
}

} // namespace
