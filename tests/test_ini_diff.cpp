// The project's own INI reader against the iniparser library: the same files must give the
// same load result, the same console messages, the same look-ups and byte-identical dumps.
#include "logging/ini_own.h"

#include <iniparser.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Case {
    const char* name;
    std::string content;
    std::vector<std::string> keys; // looked up besides every key of the dumps
};

std::string long_line(size_t value_length)
{
    return "k = " + std::string(value_length, 'v') + "\n";
}

std::vector<Case> corpus()
{
    return {
        {"ordinary",
         "[ORMA_GENERAL]\nLogging = ENCLOSED_FILTER\nFile = gen.txt\nFilter = F0 01 x, C1\n\n"
         "[ORMA_ERROR]\nLogging = ALL\nStartup = ON\n\n[ORMA_FSI]\nLogging = OFF\n",
         {"ORMA_GENERAL:Logging", "orma_general:filter", "ORMA_ERROR:File", "ORMA_FSI", "ORMA_FSI:Logging"}},
        {"comments",
         "; leading comment\n# hash comment\n[s]\n  ; indented comment\nk = v ; trailing\nh = v # trailing\n"
         "semi = a;b\nhash=a#b\n#k2 = hidden\n",
         {"s:k", "s:h", "s:semi", "s:hash", "s:k2", "#k2"}},
        {"quotes",
         "[q]\nd = \"a ; b # c\"\ns = ' x '\ne = \"\"\nf = ''\nu = \"unterminated\nt = \"a\" tail\n"
         "three = \"\"\"\nmixed = \"it's\"\nsingle = 'say \"hi\"'\nlone = \"\nbare = a \"b\" c\n",
         {"q:d", "q:s", "q:e", "q:f", "q:u", "q:t", "q:three", "q:mixed", "q:single", "q:lone", "q:bare"}},
        {"blanks",
         "\n   \n\t\n  [ Spaced Section ]  \n  key one   =   value two  \n\tk\t=\tv\t\nk2=v2\n   \n",
         {"spaced section:key one", "Spaced Section:Key One", "spaced section:k", "spaced section:k2"}},
        {"repeated",
         "[a]\nk = 1\nk = 2\n[b]\nk = 3\n[A]\nk = 4\nnew = 5\n[b]\n[a]\nlast = 6\n",
         {"a:k", "b:k", "a:new", "a:last"}},
        {"no sections", "k = v\nother = w\n", {":k", "k", ":other"}},
        {"keys before sections", "top = 1\nalso = 2\n[s]\nk = v\n", {":top", "top", "s:k", ":also"}},
        {"case", "[MiXeD]\nKeY = VaLuE\nFILE = Some.TXT\n", {"mixed:key", "MIXED:KEY", "MiXeD:KeY", "mixed:file"}},
        {"empty values",
         "[e]\na =\nb = ;\nc=#x\nd = \"\"\ne =    \nf = ''  ; c\ng== v\nh = a=b\n",
         {"e:a", "e:b", "e:c", "e:d", "e:e", "e:f", "e:g", "e:h"}},
        {"crlf", "[ORMA_GENERAL]\r\nLogging = ALL\r\nFile = crlf.txt\r\n\r\n[x]\r\nq = \"v\"\r\n",
         {"orma_general:logging", "orma_general:file", "x:q"}},
        {"continuation",
         "[c]\nk = first \\\n  second\nj = a\\\nb\\\nc\nend = \\\n",
         {"c:k", "c:j", "c:end"}},
        {"lone backslash", "[c]\n\\\nk = v\n", {"c:k"}},
        {"syntax error", "[s]\nk = v\nnot a key line\n", {"s:k"}},
        {"key without name", "[s]\n= v\n", {"s:"}},
        {"unclosed section", "[s\nk = v\n", {"s:k"}},
        {"odd sections",
         "[]\nk0 = v\n[ ]\nk1 = v\n[a:b]\nk2 = v\n[a]\nk3 = v\n[x]]\nk4 = v\n[y] ; c\n",
         {":k0", ":k1", "a:b", "a:b:k2", "a:k3", "x:k4", "x"}},
        {"empty brackets after a long section",
         "[Long Section]\nk = v\n[]\nk2 = v\n[]]\nk3 = v\n[]xyz]\nk4 = v\n",
         {"long section:k", "l:k2", "lo:k3", "long :k4"}},
        {"section with colon only", "[a:b]\nk = v\n", {"a:b:k"}},
        {"empty file", "", {"a:b"}},
        {"no final line end", "[s]\nk = v\nx", {"s:k", "s:x"}},
        {"no final line end on a key", "[s]\nk = v", {"s:k"}},
        {"only blanks", "   \n\n\t\n", {}},
        {"high bytes", "[S\xc3\x89]\nk\xc3\xa9 = \xc3\xa9t\xc3\xa9\n", {"s\xc3\x89:k\xc3\xa9", "S\xc3\x89:K\xc3\xa9"}},
        {"long value fits", "[l]\n" + long_line(1018), {"l:k"}},
        {"line too long", "[l]\n" + long_line(1019), {"l:k"}},
        {"line too long at the end", "[l]\n" + std::string(1023, 'a'), {}},
        {"many entries",
         [] {
             std::string s;
             for (int i = 0; i < 300; ++i)
                 s += "[s" + std::to_string(i % 7) + "]\nkey" + std::to_string(i) + " = " + std::to_string(i) + "\n";
             return s;
         }(),
         {"s3:key3", "s6:key299"}},
    };
}

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

// Every "section:key" name and every section name that a dump shows, in lower case.
std::vector<std::string> names_in_dump(const std::string& dump)
{
    std::vector<std::string> names;
    std::string section;
    size_t pos = 0;
    while (pos < dump.size()) {
        size_t end = dump.find('\n', pos);
        if (end == std::string::npos)
            end = dump.size();
        const std::string line = dump.substr(pos, end - pos);
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            names.push_back(section);
        } else if (const size_t eq = line.find(" = "); eq != std::string::npos) {
            std::string key = line.substr(0, eq);
            while (!key.empty() && key.back() == ' ')
                key.pop_back();
            names.push_back(section.empty() ? key : section + ":" + key);
        }
        pos = end + 1;
    }
    return names;
}

class IniDiff : public ::testing::TestWithParam<size_t> {};

TEST_P(IniDiff, SameLoadLookupsAndDump)
{
    const Case c = corpus()[GetParam()];
    SCOPED_TRACE(c.name);
    const std::string path = "case_" + std::to_string(GetParam()) + ".ini";
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(c.content.data(), 1, c.content.size(), f);
        std::fclose(f);
    }

    testing::internal::CaptureStderr();
    dictionary* lib = iniparser_load(path.c_str());
    const std::string lib_err = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    IniOwnDict* own = ini_own_load(path.c_str());
    const std::string own_err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(own_err, lib_err);
    ASSERT_EQ(own == nullptr, lib == nullptr);
    if (!lib)
        return;

    const std::string lib_dump = dump_to_string([&](std::FILE* f) { iniparser_dump_ini(lib, f); });
    const std::string own_dump = dump_to_string([&](std::FILE* f) { ini_own_dump(own, f); });
    EXPECT_EQ(own_dump, lib_dump);

    std::vector<std::string> keys = c.keys;
    for (const std::string& n : names_in_dump(lib_dump)) {
        keys.push_back(n);
        std::string upper = n;
        for (char& ch : upper)
            if (ch >= 'a' && ch <= 'z')
                ch = static_cast<char>(ch - 'a' + 'A');
        keys.push_back(upper);
    }
    keys.push_back("absent:key");
    keys.push_back("");
    for (const std::string& key : keys) {
        const char* a = iniparser_getstring(lib, key.c_str(), nullptr);
        const char* b = ini_own_get(own, key.c_str());
        ASSERT_EQ(b == nullptr, a == nullptr) << "key \"" << key << "\"";
        if (a) {
            EXPECT_STREQ(b, a) << "key \"" << key << "\"";
        }
    }

    iniparser_freedict(lib);
    ini_own_free(own);
}

INSTANTIATE_TEST_SUITE_P(Corpus, IniDiff, ::testing::Range<size_t>(0, corpus().size()));

TEST(IniDiffFiles, MissingFileIsReportedAlike)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(iniparser_load("no_such.ini"), nullptr);
    const std::string lib_err = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    EXPECT_EQ(ini_own_load("no_such.ini"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), lib_err);
}

} // namespace
