// How a path is shown: lines that a newline in a name cannot split, and that
// bash reads back to the very bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/kevo_cli.h"

namespace {

const struct {
    std::string path;
    std::string line;
    bool utf8;
} kPaths[] = {
    {"archive/rec 1.kevo", "archive/rec 1.kevo", true},
    {"caf\xc3\xa9.kevo", "caf\xc3\xa9.kevo", true},
    {"x.kevo: devi 4711 -> 5\nreal.kevo", R"('x.kevo: devi 4711 -> 5'$'\n''real.kevo')", true},
    {"\ttab", R"($'\t''tab')", true},
    {"it's", R"('it'$'\'''s')", true},
    {"\xc2\x85next", R"($'\xc2\x85''next')", true},  // U+0085, a C1 line break
    {"a\xff.kevo", R"('a'$'\xff''.kevo')", false},
    {"a\xfe", R"('a'$'\xfe')", false},
    {"\xed\xa0\x80", R"($'\xed\xa0\x80')", false},  // a surrogate
    {"\xe2\x82", R"($'\xe2\x82')", false},          // cut short
};

TEST(PathText, OneLinePerPathThatBashReadsBack)
{
    for (const auto& c : kPaths) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(kevo_linePath(c.path), c.line);
        EXPECT_EQ(c.line.find('\n'), std::string::npos);
        EXPECT_EQ(kevo_isUtf8(c.path), c.utf8);
        if (c.line == c.path) {
            continue;
        }
        // bash parses the line itself; the shell popen starts passes it on.
        setenv("KEVO_LINE", ("printf %s " + c.line).c_str(), 1);
        FILE* shell = popen("bash -c \"$KEVO_LINE\"", "r");
        ASSERT_NE(shell, nullptr);
        std::string read;
        for (int ch; (ch = std::fgetc(shell)) != EOF;) {
            read += static_cast<char>(ch);
        }
        pclose(shell);
        EXPECT_EQ(read, c.path);
    }
    EXPECT_EQ(kevo_hexBytes("a\xff\n"), "61ff0a");
}

}  // namespace
