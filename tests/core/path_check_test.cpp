#include "core/PathCheck.h"

#include <gtest/gtest.h>

#include <string>

TEST(PathCheck, AcceptsOnlyNamesThatStayBelowTheirFolder) {
    const struct {
        std::string name;
        bool safe;
    } cases[] = {
        {"Pick.xml", true},
        {"Programs/Sub/Pick.xml", true},
        {"Programs\\Sub\\Pick.xml", true},
        {"./Pick.xml", true},
        {"a/..b/c", true},
        {"...", true},
        {"Sub/", true},
        {"", false},
        {"..", false},
        {"../Pick.xml", false},
        {"..\\..\\etc\\passwd", false},
        {"Programs/../../x", false},
        {"Programs\\..", false},
        {"a/./../b", false},
        {"/etc/passwd", false},
        {"\\etc\\passwd", false},
        {"//server/share", false},
        {"C:\\Data\\x.xml", false},
        {"c:x.xml", false},
        {std::string("ok.xml\0/../x", 12), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Filesystem::IsSafeRelativePath(c.name), c.safe) << "'" << c.name << "'";
    }
}

TEST(PathCheck, NormalizeSeparatorsTurnsBackslashesIntoSlashes) {
    EXPECT_EQ(Filesystem::NormalizeSeparators("a\\b/c\\\\d"), "a/b/c//d");
    EXPECT_EQ(Filesystem::NormalizeSeparators(""), "");
}
