// The regular-expression wrapper: first and global replacement with group
// references, as the channels' number rewrites use them.
#include <gtest/gtest.h>

#include "core/pcre_re.h"

namespace {

struct ReplaceCase {
    const char* pattern;
    const char* rewrite;
    const char* subject;
    bool replaced;
    const char* first;   // after Replace
    int count;           // of GlobalReplace
    const char* all;     // after GlobalReplace
};

TEST(PcreReTest, ReplaceAndGlobalReplaceTable)
{
    const ReplaceCase cases[] = {
        {"^0", "+49", "0301234", true, "+49301234", 1, "+49301234"},
        {"^0", "+49", "301234", false, "301234", 0, "301234"},
        {"1", "x", "a1b1", true, "axb1", 2, "axbx"},
        {"(\\d)(\\d)", "\\2\\1", "1234", true, "2134", 2, "2143"},
        {"b+", "[\\0]", "abbcb", true, "a[bb]cb", 2, "a[bb]c[b]"},
        {"a(x)?", "<\\1>", "ab", true, "<>b", 1, "<>b"},          // a group that took no part
        {"x", "\\\\", "axb", true, "a\\b", 1, "a\\b"},             // "\\" is a backslash
        {"x*", "-", "abc", true, "-abc", 4, "-a-b-c-"},           // empty matches move on by one
        {"x", "\\1", "axb", false, "axb", 0, "axb"},              // a group the pattern lacks
        {"x", "\\q", "axb", false, "axb", 0, "axb"},              // an unknown escape
        {"x", "tail\\", "axb", false, "axb", 0, "axb"},
        {"", "-", "", true, "-", 1, "-"},
    };
    for (const auto& c : cases) {
        PcreRe re(c.pattern);
        ASSERT_TRUE(re.ok()) << c.pattern;
        std::string s = c.subject;
        EXPECT_EQ(re.Replace(c.rewrite, &s), c.replaced) << c.pattern << " " << c.rewrite;
        EXPECT_EQ(s, c.first) << c.pattern << " " << c.rewrite;
        s = c.subject;
        EXPECT_EQ(re.GlobalReplace(c.rewrite, &s), c.count) << c.pattern << " " << c.rewrite;
        EXPECT_EQ(s, c.all) << c.pattern << " " << c.rewrite;
    }
}

TEST(PcreReTest, PatternThatDoesNotCompileChangesNothing)
{
    PcreRe re("(^0");
    EXPECT_FALSE(re.ok());
    EXPECT_FALSE(re.error().empty());
    EXPECT_EQ(re.pattern(), "(^0");
    std::string s = "0301";
    EXPECT_FALSE(re.Replace("+49", &s));
    EXPECT_EQ(re.GlobalReplace("+49", &s), 0);
    EXPECT_FALSE(re.PartialMatch(s));
    EXPECT_EQ(s, "0301");

    // Moving keeps one owner of the compiled code.
    PcreRe a("^0");
    PcreRe b(std::move(a));
    EXPECT_TRUE(b.PartialMatch("01"));
    a = std::move(b);
    EXPECT_TRUE(a.PartialMatch("01"));
}

}  // namespace
