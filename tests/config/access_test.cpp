// Dotted masks, FTP rights of an alias and the per-folder access file.
#include "engine/config/access.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace qv {
namespace {

using Quad = std::array<uint8_t, 4>;

AliasEntry ftpAlias(std::optional<std::string> owner, std::optional<std::string> group, std::string rights) {
    AliasEntry a;
    a.ftpOwner = std::move(owner);
    a.ftpGroup = std::move(group);
    a.ftpRights = std::move(rights);
    return a;
}

TEST(AccessTest, ParseDottedQuad) {
    struct Case { std::string text; Quad expected; };
    for (const Case& c : std::initializer_list<Case>{
             {"10.1.2.3", {10, 1, 2, 3}}, {"1..2  3\r\n4.5", {1, 2, 3, 4}}, {"300.-1.x.7abc", {44, 255, 0, 7}},
             {"1.2", {1, 2, 0, 0}}, {"", {0, 0, 0, 0}}, {"99999999999999999999.1", {255, 1, 0, 0}},
             {std::string(28, ' ') + "1.2.3", {1, 2, 0, 0}}})  // only 31 characters count
        EXPECT_EQ(parseDottedQuad(c.text), c.expected) << c.text;
}

TEST(AccessTest, AddressInMask) {
    uint32_t own = inet_addr("10.1.2.3");
    EXPECT_EQ(addressInMask("255.255.255.0", own, "10.1.2.200"), 1);
    EXPECT_EQ(addressInMask("255.255.255.0", own, "10.1.3.1"), 0);
    EXPECT_EQ(addressInMask("255.255.255.0", own, std::nullopt), 0);
    EXPECT_EQ(addressInMask("0.0.0.0", own, "192.168.7.7"), 1);
    // A server on all addresses admits only clients whose masked bytes are 0.
    EXPECT_EQ(addressInMask("255.0.0.0", 0, "10.1.2.3"), 0);
    EXPECT_EQ(addressInMask("255.0.0.0", 0, "0.1.2.3"), 1);
}

TEST(AccessTest, FtpRights) {
    test::TempFolder folder;
    test::CapturedOutput output;
    Settings s;
    s.iniPath = folder.file("quorvane.ini");
    s.users = {{"root", "x", true, {}}, {"bob", "x", false, {}}, {"carl", "x", false, {}}, {"dave", "x", false, {}}};
    s.groups = {{"Ftp", {"bob", "carl"}, std::nullopt}};
    AliasEntry open = ftpAlias("bob", "FTP", "rw.r..r..");
    AliasEntry groupOnly = ftpAlias("bob", "ftp", "...rw....");
    AliasEntry none = ftpAlias(std::nullopt, std::nullopt, "rw.r..r");
    AliasEntry shortRights = ftpAlias(std::nullopt, std::nullopt, "rw");
    struct Case { const AliasEntry* alias; std::optional<std::string_view> user; int read, write; };
    for (const Case& c : std::initializer_list<Case>{
             {&open, "bob", 1, 1}, {&open, "carl", 1, 0}, {&open, "dave", 1, 0}, {&groupOnly, "bob", 0, 0},
             {&groupOnly, "carl", 1, 1}, {&none, "root", 1, 1}, {&none, "!nobody", 1, 1}, {&none, "dave", 1, 0},
             {&shortRights, "dave", 0, 0}, {nullptr, "root", 0, 0}, {&open, std::nullopt, 0, 0}}) {
        EXPECT_EQ(checkFtpRights(s, c.alias, 0, c.user), c.read) << c.user.value_or("-");
        EXPECT_EQ(checkFtpRights(s, c.alias, 1, c.user), c.write) << c.user.value_or("-");
    }
    EXPECT_EQ(checkFtpRights(s, &none, 2, "root"), 0);
}

TEST(AccessTest, AccessFilePath) {
    EXPECT_EQ(accessFilePath("/web/docs/a.htm"), "/web/docs/access.qac");
    EXPECT_EQ(accessFilePath("docs/"), "docs/access.qac");
    EXPECT_EQ(accessFilePath("page.htm"), "page.htm/access.qac");
}

TEST(AccessTest, ReadAccessFile) {
    test::TempFolder folder;
    test::writeFile(folder.file("access.qac"), "[Description]\na.htm = The first page\nb.htm=\n");
    std::string page = folder.file("a.htm");
    EXPECT_EQ(readAccessFile(page, "description", "A.HTM", 128), "The first page");
    EXPECT_EQ(readAccessFile(page, "Description", "a.htm", 4), "The");
    EXPECT_FALSE(readAccessFile(page, "Description", "b.htm", 128));
    EXPECT_FALSE(readAccessFile(page, "Description", "c.htm", 128));
    EXPECT_FALSE(readAccessFile(page, "counts", "a.htm", 128));
    EXPECT_FALSE(readAccessFile(folder.file("sub/a.htm"), "Description", "a.htm", 128));
}

}  // namespace
}  // namespace qv
