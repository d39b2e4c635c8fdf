// Text helpers shared by the protocols: prefix and extension compares,
// Basic-credential Base64, URL escapes and error texts.
#include "engine/log/strings.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace qv {
namespace {

using namespace std::string_literals;

TEST(StringsTest, StartsWithNoCaseFoldsOnlyLettersAToZ) {
    struct Case {
        const char *text, *prefix;
        int expected;
    } cases[] = {
        {"/Docs/x", "/docs", 1}, {"/doc", "/docs", 0}, {"anything", "", 1}, {"", "a", 0}, {"abc", "ABD", 0},
        // These pairs also differ only in bit 5, but are not letters.
        {"[x", "{x", 0}, {"@a", "`a", 0}, {"\xC4x", "\xE4x", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(startsWithNoCase(c.text, c.prefix), c.expected) << c.text << " " << c.prefix;
}

TEST(StringsTest, SameExtensionComparesThreeCharactersExactly) {
    struct Case {
        const char *a, *b;
        int expected;
    } cases[] = {{"HTM", "HTML", 1}, {"htm", "HTM", 0}, {"H", "HT", 0}, {"C", "C", 1}, {"", "A", 0}, {"JPEG", "JPG", 0}};
    for (const auto& c : cases) EXPECT_EQ(sameExtension(c.a, c.b), c.expected) << c.a << " " << c.b;
}

TEST(StringsTest, Base64DecodesGroupsOfFourAndPaddingGivesNulBytes) {
    EXPECT_EQ(base64Decode("dXNlcjpwYXNz"), "user:pass");
    EXPECT_EQ(base64Decode("QQ=="), "A\0\0"s);
    // Five characters: two groups, the second read with three zero digits.
    EXPECT_EQ(base64Decode("QUJDR"), "ABC\x44\0\0"s);
    EXPECT_EQ(base64Decode("+/+/"), "\xfb\xff\xbf"s);
    EXPECT_EQ(base64Decode("Q\x80=="), "@\0\0"s);  // outside the alphabet: 0
    EXPECT_EQ(base64Decode(""), "");
}

TEST(StringsTest, UrlUnescapeDecodesInPlace) {
    struct Case {
        std::string in;
        bool keepAmpersand;
        std::string out;
    } cases[] = {
        {"a+b%41&c", false, "a bA\rc"},
        {"a+b%41&c", true, "a bA&c"},
        {"%2f%2F%7e", false, "//~"},
        {"%zz", false, "\0"s},  // not hexadecimal digits: 0
        {"%%41", false, "\x04" "1"},
        {"%4", false, "%4"},  // too short at the end: copied
        {"ab%", false, "ab%"},
    };
    for (auto c : cases) {
        std::string text = c.in;
        urlUnescape(text, c.keepAmpersand);
        EXPECT_EQ(text, c.out) << c.in;
    }
}

TEST(StringsTest, UrlEscapeChangesOnlyBlankAndHash) {
    EXPECT_EQ(urlEscape("a b#c"), "a+b%23c");
    EXPECT_EQ(urlEscape("%&+?/"), "%25%26%2B?/");
    for (std::string text : {"c++ & 50%", "a b#c", "x%41y", "plain/path"}) {
        std::string escaped = urlEscape(text);
        EXPECT_EQ(urlUnescape(escaped, false), text);
    }
}

TEST(StringsTest, HtmlEscapeReplacesTheFourSpecialsAnywhere) {
    EXPECT_EQ(htmlEscape(""), "");
    EXPECT_EQ(htmlEscape("plain name.txt"), "plain name.txt");
    EXPECT_EQ(htmlEscape("\"a&b\"<c>"), "&quot;a&amp;b&quot;&lt;c&gt;");
    EXPECT_EQ(htmlEscape("&&"), "&amp;&amp;");
    EXPECT_EQ(htmlEscape(std::string_view("x\0<", 3)), std::string("x\0&lt;", 6));
}

TEST(StringsTest, SystemErrorTextEndsWithLineEnd) {
    EXPECT_EQ(systemErrorText(ENOENT), "No such file or directory\r\n");
    errno = EACCES;
    EXPECT_EQ(systemErrorText(), "Permission denied\r\n");
}

}  // namespace
}  // namespace qv
