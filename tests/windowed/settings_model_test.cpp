// The settings editor's model: what it reads from a settings file, and what
// saving pages writes, checked through the engine's own reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "engine/config/passwords.h"
#include "engine/config/settings.h"
#include "engine/core/server_table.h"
#include "engine/quorvane.h"
#include "tests/support/test_support.h"
#include "windowed/settings_model.h"

namespace qv {
namespace {

struct SettingsModel : ::testing::Test {
    test::TempFolder folder;
    std::string ini = folder.file("quorvane.ini");
    std::string autostart = folder.file("autostart/quorvane.desktop");

    SheetValues read() { return readSheet(ini, autostart); }
    std::string text() const { return test::readFile(ini); }
    ProfileFile file() const { return ProfileFile(ini); }
};

TEST_F(SettingsModel, ReadsTheSampleSettings) {
    test::writeFile(ini, test::readFile(std::string(QV_SOURCE_DIR) + "/examples/etc/quorvane.ini"));
    const SheetValues v = read();
    EXPECT_EQ(v.general.hostname, "localhost");
    EXPECT_EQ(v.general.email, "webmaster@localhost");
    EXPECT_TRUE(v.logging.enableFiles);
    EXPECT_TRUE(v.misc.dnsUseCache);
    ASSERT_EQ(v.users.size(), 1u);
    EXPECT_EQ(v.users[0].name, "demo");
    EXPECT_EQ(v.users[0].password, "demo");
    EXPECT_EQ(v.users[0].ftpDir, "/users/demo");
    EXPECT_TRUE(v.users[0].ftpRestrict && v.users[0].ftpWrite);
    ASSERT_EQ(v.folders.size(), 4u);
    EXPECT_EQ(v.folders[0].urlPath, "/private");
    EXPECT_EQ(v.folders[0].owner, "demo");
    EXPECT_TRUE(v.folders[0].listings);
    EXPECT_TRUE(v.folders[2].cgi);
    ASSERT_GE(v.servers.servers.size(), 4u);
    EXPECT_EQ(v.servers.servers[0].type, "httpd");
    EXPECT_EQ(v.servers.servers[3].type, "mail");
    EXPECT_EQ(v.servers.servers[3].port, "2525");
    EXPECT_EQ(v.fileTypes.size(), 6u);

    // Every page saved unchanged: the engine reads the same settings.
    const auto before = readSettings(ini);
    std::vector<SheetPage> all;
    for (int p = 0; p < kSheetPages; ++p) all.push_back(static_cast<SheetPage>(p));
    ASSERT_EQ(saveSheet(ini, v, all), 0);
    const auto after = readSettings(ini);
    EXPECT_EQ(after->users.size(), before->users.size());
    EXPECT_EQ(after->users[0].password, "demo");
    ASSERT_EQ(after->aliases.size(), before->aliases.size());
    for (std::size_t i = 0; i < before->aliases.size(); ++i) {
        EXPECT_EQ(after->aliases[i].path, before->aliases[i].path);
        EXPECT_EQ(after->aliases[i].folder, before->aliases[i].folder);
        EXPECT_EQ(after->aliases[i].programs, before->aliases[i].programs);
        EXPECT_EQ(after->aliases[i].listings, before->aliases[i].listings);
    }
    EXPECT_EQ(after->fileTypes.size(), before->fileTypes.size());
    EXPECT_EQ(read().servers.servers.size(), v.servers.servers.size());
}

TEST_F(SettingsModel, NothingChangedWritesNothing) {
    test::writeFile(ini, "[Options]\nhostname = x \n; a comment\n");
    EXPECT_EQ(saveSheet(ini, read(), {}), 0);
    EXPECT_EQ(text(), "[Options]\nhostname = x \n; a comment\n");
}

TEST_F(SettingsModel, APageWritesOnlyItsKeys) {
    test::writeFile(ini, "[Options]\nhostname=old\nkeep=me\n[Users]\nUser1=ann pw\n");
    SheetValues v = read();
    v.misc.httpReadTimeout = 99;
    v.general.hostname = "changed";  // not saved: the General page is not among the changed ones
    ASSERT_EQ(saveSheet(ini, v, {SheetPage::kMisc}), 0);
    EXPECT_EQ(file().getInt("Options", "http_read_timeout", 0), 99);
    EXPECT_EQ(file().getString("Options", "hostname", "", 32), "old");
    EXPECT_EQ(file().getString("Options", "keep", "", 32), "me");
    EXPECT_EQ(file().getString("Users", "User1", "", 32), "ann pw");
}

// Deleting user 2 of 3: the third becomes User2 with its FTP keys, and
// nothing of number 3 is left.
TEST_F(SettingsModel, UsersAreRenumberedWithoutGaps) {
    test::writeFile(ini, "[Users]\nUser1=ann a\nUser2=bob b\nFTPDir2=/bob\nFTPDirWrite2=1\nUser3=cy c\n"
                         "FTPDir3=/cy\nFTPRestrict3=1\nFTPSuperUser3=1\nFTPDirWrite3=0\n");
    SheetValues v = read();
    ASSERT_EQ(v.users.size(), 3u);
    v.users.erase(v.users.begin() + 1);
    ASSERT_EQ(saveSheet(ini, v, {SheetPage::kUsers}), 0);
    const ProfileFile f = file();
    EXPECT_EQ(f.getString("Users", "User2", "", 32), "cy c");
    EXPECT_EQ(f.getString("Users", "FTPDir2", "", 32), "/cy");
    EXPECT_EQ(f.getString("Users", "FTPRestrict2", "", 32), "1");
    EXPECT_EQ(f.getString("Users", "FTPSuperUser2", "", 32), "1");
    EXPECT_EQ(f.getString("Users", "FTPDirWrite2", "", 32), "0");
    EXPECT_FALSE(f.hasKey("Users", "FTPDirWrite1"));  // no home, no write flag
    for (const char* key : {"User3", "FTPDir3", "FTPRestrict3", "FTPSuperUser3", "FTPDirWrite3"})
        EXPECT_FALSE(f.hasKey("Users", key)) << key;
}

// Deleting alias 2: alias 3's FTP owner, group and rights move with it.
TEST_F(SettingsModel, FtpRightsMoveWithTheirFolder) {
    test::writeFile(ini, "[Aliases]\nAlias1=/a /srv/a Anybody Anywhere . . .\n"
                         "Alias2=/b /srv/b Anybody Anywhere . . .\nFTPOwner2=bob\nFTPRights2=rwl......\n"
                         "Alias3=/c /srv/c Anybody Anywhere s . D\nFTPOwner3=cy\nFTPGroup3=Staff\nFTPRights3=rwlr-l...\n");
    SheetValues v = read();
    ASSERT_EQ(v.folders.size(), 3u);
    v.folders.erase(v.folders.begin() + 1);
    ASSERT_EQ(saveSheet(ini, v, {SheetPage::kSharedFolders}), 0);
    const auto s = readSettings(ini);
    ASSERT_EQ(s->aliases.size(), 2u);
    EXPECT_EQ(s->aliases[1].path, "/c");
    EXPECT_EQ(s->aliases[1].ftpOwner, "cy");
    EXPECT_EQ(s->aliases[1].ftpGroup, "Staff");
    EXPECT_EQ(s->aliases[1].ftpRights, "rwlr-l...");
    EXPECT_TRUE(s->aliases[1].standardCgi);  // "s" is kept
    EXPECT_FALSE(s->aliases[0].ftpOwner.has_value());
    for (const char* key : {"Alias3", "FTPOwner3", "FTPGroup3", "FTPRights3"})
        EXPECT_FALSE(file().hasKey("Aliases", key)) << key;
}

// Names with characters the reader decodes come back as they were.
TEST_F(SettingsModel, FolderNamesRoundTripThroughTheEngine) {
    test::writeFile(ini, "");
    SheetValues v = read();
    FolderRow f;
    f.urlPath = "/c++ & 50%";
    f.folder = "/srv/c++ & 50% #1";
    v.folders.push_back(f);
    ASSERT_EQ(saveSheet(ini, v, {SheetPage::kSharedFolders}), 0);
    const auto s = readSettings(ini);
    ASSERT_EQ(s->aliases.size(), 1u);
    EXPECT_EQ(s->aliases[0].path, "/c++ & 50%");
    EXPECT_EQ(s->aliases[0].folder, "/srv/c++ & 50% #1");
    EXPECT_EQ(read().folders[0].folder, "/srv/c++ & 50% #1");
}

// No servers: 1 to 3 are written "n" (a missing key would bring their
// defaults back), the others deleted; the engine then runs none.
TEST_F(SettingsModel, RemovingEveryServer) {
    test::writeFile(ini, "[Multi]\nserver1=httpd\nport1=8080\nserver2=ftp\nserver3=gopher\nserver4=talk\nport4=9\n"
                         "server5=mail\nserver6=none\ntype7=httpd\n");
    SheetValues v = read();
    EXPECT_EQ(v.servers.servers.size(), 5u);
    v.servers.servers.clear();
    ASSERT_EQ(saveSheet(ini, v, {SheetPage::kServers}), 0);
    const ProfileFile f = file();
    for (const char* key : {"server1", "server2", "server3"}) EXPECT_EQ(f.getString("Multi", key, "", 8), "n") << key;
    for (const char* key : {"server4", "server5", "server6", "port1", "port4", "type7"})
        EXPECT_FALSE(f.hasKey("Multi", key)) << key;
    EXPECT_TRUE(readServerTable(f, *readSettings(ini), builtinProtocols()).empty());
}

TEST_F(SettingsModel, ScrambledPasswordsAreWrittenScrambled) {
    test::writeFile(ini, "[Options]\nscramble_passwords=Yes\n");
    SheetValues v = read();
    ASSERT_TRUE(v.scramblePasswords);
    UserRow ann;
    ann.name = "ann";
    ann.password = "s3cret";
    v.users.push_back(ann);
    ASSERT_EQ(saveSheet(ini, v, {SheetPage::kUsers}), 0);
    EXPECT_EQ(file().getString("Users", "User1", "", 64).size(), 4u + 34u);
    const auto s = readSettings(ini);
    ASSERT_EQ(s->users.size(), 1u);
    EXPECT_EQ(s->users[0].password, "s3cret");
    EXPECT_EQ(read().users[0].password, "s3cret");
    // Passwords scrambled by an unknown version: written back as they were
    // (never unscrambled and scrambled again into garbage) unless changed.
    const std::string foreign = "Zz" + std::string(32, 'q');
    test::writeFile(ini, "[Options]\nscramble_passwords=y\nscramble_version=2.0\n[Users]\nUser1=ann " + foreign +
                             "\nUser2=bob " + foreign + "\n");
    v = read();
    EXPECT_TRUE(v.unknownScrambleVersion);
    v.users[1].password = "new";
    ASSERT_EQ(saveSheet(ini, v, {SheetPage::kUsers}), 0);
    EXPECT_EQ(file().getString("Users", "User1", "", 64), "ann " + foreign);
    const std::string bob = file().getString("Users", "User2", "", 64);
    EXPECT_EQ(bob.size(), 4u + 34u);
    EXPECT_EQ(unscramblePassword(bob.substr(4)), "new");
}

TEST_F(SettingsModel, AFailedSaveWritesNothing) {
    const std::string missing = folder.file("no-such-folder/quorvane.ini");
    SheetValues v;
    EXPECT_NE(saveSheet(missing, v, {SheetPage::kGeneral}), 0);
    test::writeFile(ini, "[Options]\nhostname=h\n");
    v = read();
    v.general.hostname = "two\nlines";
    EXPECT_EQ(saveSheet(ini, v, {SheetPage::kGeneral, SheetPage::kMisc}), EINVAL);
    EXPECT_EQ(text(), "[Options]\nhostname=h\n");
}

TEST_F(SettingsModel, GroupsAndTheLoginEntry) {
    test::writeFile(ini, "[Groups]\nGroup1=Staff ann,bob\nGroup2=Old x\nGroup3=Gone y\n");
    SheetValues v = read();
    ASSERT_EQ(v.groups.size(), 3u);
    EXPECT_EQ(v.groups[0].members, (std::vector<std::string> {"ann", "bob"}));
    v.groups.erase(v.groups.begin() + 1);
    v.groups[0].members.push_back("cy");
    ASSERT_EQ(saveGroups(ini, v.groups), 0);
    const auto s = readSettings(ini);
    ASSERT_EQ(s->groups.size(), 2u);
    EXPECT_EQ(s->groups[0].members, (std::vector<std::string> {"ann", "bob", "cy"}));
    EXPECT_EQ(s->groups[1].name, "Gone");
    EXPECT_FALSE(file().hasKey("Groups", "Group3"));

    EXPECT_FALSE(read().misc.startAtLogin);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    ASSERT_EQ(setStartAtLogin(autostart, self, true), 0);
    EXPECT_NE(test::readFile(autostart).find("Exec=" + self + "\n"), std::string::npos);
    EXPECT_TRUE(read().misc.startAtLogin);
    ASSERT_EQ(setStartAtLogin(autostart, self, false), 0);
    EXPECT_FALSE(read().misc.startAtLogin);
}

TEST(SettingsChecks, PasswordsAndUserNames) {
    EXPECT_FALSE(passwordProblem("secret", false));
    EXPECT_FALSE(passwordProblem("", false));
    EXPECT_TRUE(passwordProblem("two words", false));
    EXPECT_FALSE(passwordProblem(std::string(40, 'x'), false));
    EXPECT_TRUE(passwordProblem(std::string(17, 'x'), true));
    EXPECT_FALSE(passwordProblem(std::string(16, 'x'), true));
    EXPECT_TRUE(validUserName("ann"));
    EXPECT_TRUE(validUserName("12345678"));
    EXPECT_FALSE(validUserName(""));
    EXPECT_FALSE(validUserName("123456789"));
    EXPECT_FALSE(validUserName("a b"));
    EXPECT_FALSE(validUserName("a=b"));
}

}  // namespace
}  // namespace qv
