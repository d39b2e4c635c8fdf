// The pure rules of the FTP server: command lines, the path join, home
// confinement, PORT arguments and listing lines.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "engine/ftp/ftp_commands.h"

namespace qv {
namespace {

TEST(FtpLine, WordArgumentAndCode) {
    struct Row {
        const char* line;
        const char* word;
        std::optional<std::string> argument;
        FtpCode code;
    };
    const Row rows[] = {
        {"USER max", "USER", "max", FtpCode::kUser},
        {"user max", "user", "max", FtpCode::kUser},
        {"PWD", "PWD", std::nullopt, FtpCode::kPwd},
        {"STOR my file.txt", "STOR", "my file.txt", FtpCode::kStor},
        {"CWD ", "CWD", "", FtpCode::kCwd},
        {"XPWD", "XPWD", std::nullopt, FtpCode::kUnknown},
        {"EPSV", "EPSV", std::nullopt, FtpCode::kUnknown},
        {"EPRT |1|127.0.0.1|5000|", "EPRT", "|1|127.0.0.1|5000|", FtpCode::kUnknown},
        {"", "", std::nullopt, FtpCode::kUnknown},
        {"SIZE", "SIZE", std::nullopt, FtpCode::kSize},
    };
    for (const Row& r : rows) {
        FtpLine parsed = parseFtpLine(r.line);
        EXPECT_EQ(parsed.word, r.word) << r.line;
        EXPECT_EQ(parsed.argument, r.argument) << r.line;
        EXPECT_EQ(parsed.code, r.code) << r.line;
    }
}

TEST(FtpLine, PasswordsAreNeverDisplayed) {
    EXPECT_EQ(displayedLine(parseFtpLine("PASS secret"), "PASS secret"), "PASS ****");
    EXPECT_EQ(displayedLine(parseFtpLine("pass secret"), "pass secret"), "PASS ****");
    EXPECT_EQ(displayedLine(parseFtpLine("USER max"), "USER max"), "USER max");
}

TEST(FtpPaths, Join) {
    struct Row {
        const char* folder;
        const char* argument;
        const char* expected;
    };
    const Row rows[] = {
        {"/", "pub", "/pub"},
        {"/pub", "a.txt", "/pub/a.txt"},
        {"/pub/", "a.txt", "/pub/a.txt"},
        {"/pub", "/etc", "/etc"},
        {"/pub", "\\etc\\x", "/etc/x"},
        {"/pub", "sub\\a b.txt", "/pub/sub/a b.txt"},
        {"/pub", "//x", "/pub/x"},
        {"/pub/sub", "..", "/pub"},
        {"/pub", "..", "/"},
        {"/", "..", "/"},
        {"/pub", "a/../b", "/pub/a/../b"},  // left for the mapping to refuse
        {"/pub", "name with blanks", "/pub/name with blanks"},
        {"/pub", "a//b", "/pub/a/b"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ftpJoinPath(r.folder, r.argument), r.expected) << r.folder << " + " << r.argument;
}

TEST(FtpPaths, WithinComparesWholeComponents) {
    EXPECT_TRUE(pathWithin("/users/max", "/users/max"));
    EXPECT_TRUE(pathWithin("/users/max/a", "/users/max"));
    EXPECT_TRUE(pathWithin("/users/max/a", "/users/max/"));
    EXPECT_FALSE(pathWithin("/users/maxine", "/users/max"));
    EXPECT_FALSE(pathWithin("/users/maxine/a", "/users/max"));
    EXPECT_FALSE(pathWithin("/USERS/max", "/users/max"));
    EXPECT_FALSE(pathWithin("/u", "/users/max"));
    EXPECT_TRUE(pathWithin("/anything", "/"));
    EXPECT_TRUE(pathAbove("/users", "/users/max"));
    EXPECT_FALSE(pathAbove("/u", "/users/max"));
    EXPECT_FALSE(pathAbove("/", "/users/max"));
    EXPECT_FALSE(pathAbove("/users/max", "/users/max"));
    EXPECT_EQ(homeFolderPath("users\\max\\"), "/users/max");
    EXPECT_EQ(homeFolderPath("/"), "/");
}

TEST(FtpPaths, ConfinementToAHome) {
    struct Row {
        const char* path;
        bool ancestorsAllowed;
        const char* expected;
    };
    const Row rows[] = {
        {"/users/max/pub", false, "/users/max/pub"},
        {"/pub", false, "/users/max/pub"},
        {"/pub", true, "/users/max/pub"},
        {"/users/maxine", false, "/users/max/users/maxine"},
        {"/users/maxine", true, "/users/max/users/maxine"},
        {"/u", true, "/users/max/u"},
        {"/users", true, "/users"},
        {"/users", false, "/users/max/users"},
        {"/", true, "/users/max"},
        {"/users/max", false, "/users/max"},
    };
    for (const Row& r : rows) EXPECT_EQ(confineToHome(r.path, "/users/max", r.ancestorsAllowed), r.expected) << r.path;
}

TEST(FtpPort, Arguments) {
    auto ok = parsePortArgument("127,0,0,1,4,1");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->address, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ok->port, 1025);
    for (const char* bad : {"", "127,0,0,1,4", "127,0,0,1,4,1,2", "127,0,0,1,4,256", "127,0,0,x,4,1", "127,0,0,,4,1",
                            "127,0,0,1,4,-1", "1270,0,0,1,4,1", "127,0,0,1,4,1,"})
        EXPECT_FALSE(parsePortArgument(bad)) << bad;
}

TEST(FtpReplies, PassiveAndListing) {
    uint32_t address = 0;
    inet_pton(AF_INET, "10.1.2.3", &address);
    EXPECT_EQ(passiveReply(address, 4660), "227 Entering Passive Mode (10,1,2,3,18,52)\r\n");

    FolderEntry file {"a b.txt", 5368709120ull, false, 0, static_cast<uint16_t>((46 << 9) | (12 << 5) | 6), 0};
    EXPECT_EQ(listingLine(file), "-rw-r--r--   1 root     system 5368709120 Dec  6 2026  a b.txt\r\n");
    FolderEntry folder {"sub", 0, true, 0, static_cast<uint16_t>((46 << 9) | (1 << 5) | 15), 0};
    EXPECT_EQ(listingLine(folder), "drw-r--r--   1 root     system         0 Jan 15 2026  sub\r\n");
    EXPECT_EQ(listingText({}), "");
    EXPECT_EQ(listingText({folder, file}), "total 2\r\n" + listingLine(folder) + listingLine(file));
}

}  // namespace
}  // namespace qv
