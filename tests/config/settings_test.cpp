// readSettings: the keys of quorvane.ini, the four tables built from it, the
// diagnostics for refused lines, and the snapshot that a reload publishes.
#include "engine/config/settings.h"

#include <gtest/gtest.h>

#include "engine/config/passwords.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using Words = std::vector<std::string>;

class SettingsTest : public ::testing::Test {
protected:
    std::shared_ptr<const Settings> read(const std::string& content) {
        test::writeFile(path, content);
        return readSettings(path);
    }

    test::TempFolder folder;
    std::string path = settingsFilePath(folder.path());
    test::CapturedOutput output;
};

TEST_F(SettingsTest, MissingFileGivesDefaultsAndEmptyTables) {
    auto s = readSettings(folder.file("absent.ini"));
    EXPECT_EQ(output.texts(), (Words{"Reading ini file...\r\n", "*** No settings file at '" + folder.file("absent.ini") +
                                                                   "'; using the built-in defaults.\r\n"}));
    EXPECT_FALSE(s->fromFile);
    EXPECT_EQ(s->view_commands, 1);
    EXPECT_EQ(s->webdir, "/var/lib/quorvane/html/");
    EXPECT_EQ(s->Perl_Dir, "/usr/bin/");
    EXPECT_TRUE(s->fileTypes.empty() && s->aliases.empty() && s->users.empty() && s->groups.empty());
}

TEST_F(SettingsTest, ReadsKeysAndFolders) {
    auto s = read("[options]\n"
                  "buffsize=4096\n"
                  "view_commands=no\n"
                  "hostname=" + std::string(120, 'h') + "\n"
                  "gopherdir=\\srv\\gopher\n"
                  "ftpdir=/srv/ftp/\n"
                  "tempdir=\\tmp\\qv\n"
                  "[CGI]\n"
                  "Timeout=30\n"
                  "Perl_Dir=\\opt\\perl\n"
                  "[Registration]\n"
                  "name=Max Admin\n");
    EXPECT_EQ(s->buffsize, 4096);
    EXPECT_EQ(s->view_commands, 0);  // present but not a number
    EXPECT_EQ(s->hostname, std::string(98, 'h'));
    EXPECT_EQ(s->Timeout, 30);
    EXPECT_EQ(s->name, "Max Admin");
    // Backslashes become "/"; only the three document roots gain a final one.
    EXPECT_EQ(s->gopherdir, "/srv/gopher/");
    EXPECT_EQ(s->ftpdir, "/srv/ftp/");
    EXPECT_EQ(s->tempdir, "/tmp/qv");
    EXPECT_EQ(s->Perl_Dir, "/opt/perl");
}

TEST_F(SettingsTest, FileTypeTable) {
    auto s = read("[Extensions]\n"
                  "folder_icon=/icons/folder.gif\n"
                  "Map1=HTML h text/html\n"
                  "Map2=GIF  I\timage/gif /icons/image.gif extra\n"
                  "Map3=lonely\n"
                  "Map4=* 9\n"
                  "Map5=\n"
                  "Map6=TXT 0 text/plain\n");
    EXPECT_EQ(s->folderIcon, "/icons/folder.gif");
    ASSERT_EQ(s->fileTypes.size(), 3u);
    const auto& html = s->fileTypes[0];
    EXPECT_EQ(html.extension, "HTM");
    EXPECT_EQ(html.gopherType, 'h');
    EXPECT_EQ(html.mimeType, "text/html");
    EXPECT_FALSE(html.icon);
    EXPECT_EQ(s->fileTypes[1].icon, "/icons/image.gif");
    EXPECT_FALSE(s->fileTypes[2].mimeType);
    EXPECT_TRUE(output.contains("*** Error! Invalid extention map3 in INI file.\r\n"));
}

TEST_F(SettingsTest, AliasTable) {
    auto s = read("[Aliases]\n"
                  "Alias1=/my+docs c:\\my%20docs\n"
                  "Alias2=  /cgi   /srv/cgi-bin  staff  local s M d\n"
                  "Alias3=/prog /srv/prog Anybody anywhere C . x\n"
                  "Alias4=/lonely\n"
                  "Alias5=/a&b /srv/x\n"
                  "Alias6=\n"
                  "Alias7=/never /read\n"
                  "FTPOwner2=max\n"
                  "FTPRights2=rwxrwxrwxrwxrwxrwx\n");
    ASSERT_EQ(s->aliases.size(), 4u);
    const auto& docs = s->aliases[0];
    EXPECT_EQ(docs.path, "/my docs");
    EXPECT_EQ(docs.folder, "c:/my docs");
    EXPECT_EQ(docs.owner, "Anybody");
    EXPECT_EQ(docs.access, "anywhere");
    EXPECT_EQ(docs.ftpRights, ".........");
    EXPECT_FALSE(docs.programs || docs.standardCgi || docs.messages || docs.listings);

    const auto& cgi = s->aliases[1];
    EXPECT_EQ(cgi.folder, "/srv/cgi-bin");
    EXPECT_EQ(cgi.owner, "staff");
    EXPECT_EQ(cgi.access, "local");
    EXPECT_TRUE(cgi.programs && cgi.standardCgi && cgi.messages && cgi.listings);
    EXPECT_EQ(cgi.ftpOwner, "max");
    EXPECT_FALSE(cgi.ftpGroup);
    EXPECT_EQ(cgi.ftpRights, "rwxrwxrwxrwxrwx");

    const auto& prog = s->aliases[2];
    EXPECT_TRUE(prog.programs);
    EXPECT_FALSE(prog.standardCgi || prog.messages || prog.listings);
    EXPECT_TRUE(output.contains("Alias4"));  // no folder: refused, reading goes on
    EXPECT_EQ(s->aliases[3].path, "/a\rb");
}

TEST_F(SettingsTest, UserTable) {
    auto s = read("[Users]\nUser1=Max Secret extra\nUser2=NoPassword\nUser3=ann pw\nUser4=\nUser5=zed z\n");
    ASSERT_EQ(s->users.size(), 2u);
    EXPECT_EQ(s->users[0].name, "max");
    EXPECT_EQ(s->users[0].password, "Secret");
    EXPECT_EQ(s->users[1].name, "ann");
    EXPECT_TRUE(output.contains("User2"));  // no password: refused, reading goes on

    std::string scrambled = scramblePassword("Secret");
    std::string users = "[Users]\nUser1=max " + scrambled + "\nUser2=ann tooShort\nUser3=bob " + scrambled + "\n";
    s = read("[Options]\nscramble_passwords=Yes\n" + users);
    ASSERT_EQ(s->users.size(), 2u);
    EXPECT_EQ(s->users[0].password, "Secret");
    EXPECT_EQ(s->users[1].name, "bob");
    EXPECT_TRUE(output.contains("*** Error!  Invallid scrambled password!  Length does not equal 34.\r\n"));

    EXPECT_EQ(read("[Options]\nscramble_passwords=y\nscramble_version=1.5\n" + users)->users.size(), 2u);
    EXPECT_TRUE(read("[Options]\nscramble_passwords=Y\nscramble_version=2.0\n" + users)->users.empty());
    EXPECT_TRUE(output.contains("*** Error!  Unable to read passwords scrambled with newer version!\r\n"));
    s = read("[Options]\nscramble_passwords=No\n" + users);
    ASSERT_EQ(s->users.size(), 3u);
    EXPECT_EQ(s->users[0].password, scrambled);
}

TEST_F(SettingsTest, GroupTable) {
    auto s = read("[Groups]\n"
                  "Group1=staff Max,Ann\n"
                  "Group2=ADMINS root, Joe\tsue,,\n"
                  "Group2.exFile=\\etc\\quorvane\\admins.ini\n"
                  "Group3=\n"
                  "Group4=never read\n");
    ASSERT_EQ(s->groups.size(), 2u);
    EXPECT_EQ(s->groups[0].name, "Staff");
    EXPECT_EQ(s->groups[0].members, (Words{"max", "ann"}));
    EXPECT_FALSE(s->groups[0].externalFile);
    EXPECT_EQ(s->groups[1].name, "Admins");
    EXPECT_EQ(s->groups[1].members, (Words{"root", "joe", "sue"}));
    EXPECT_EQ(s->groups[1].externalFile, "/etc/quorvane/admins.ini");
}

TEST_F(SettingsTest, ListsStopAtTheirLimits) {
    std::string text = "[Extensions]\n";
    for (int n = 1; n <= 41; ++n) text += "Map" + std::to_string(n) + "=E" + std::to_string(n) + " 0\n";
    text += "[Aliases]\n";
    for (int n = 1; n <= 201; ++n) text += "Alias" + std::to_string(n) + "=/a" + std::to_string(n) + " /f\n";
    text += "[Users]\n";
    for (int n = 1; n <= 101; ++n) text += "User" + std::to_string(n) + "=u" + std::to_string(n) + " p\n";
    text += "[Groups]\nGroup1=big";
    for (int m = 1; m <= 105; ++m) text += " m" + std::to_string(m);
    text += "\n";
    for (int n = 2; n <= 11; ++n) text += "Group" + std::to_string(n) + "=g" + std::to_string(n) + " x\n";

    auto s = read(text);
    EXPECT_EQ(s->fileTypes.size(), 40u);
    EXPECT_EQ(s->aliases.size(), 200u);
    EXPECT_EQ(s->users.size(), 100u);
    ASSERT_EQ(s->groups.size(), 10u);
    EXPECT_EQ(s->groups[0].members.size(), 100u);
}

// Sizes and times outside their range would send nothing or end every read
// at once: each is reported and the nearest bound used.
TEST_F(SettingsTest, NumbersAreBoundedWhenRead) {
    struct Case {
        const char* line;
        int Settings::*field;
        int expected;
    } cases[] = {
        {"buffsize=0", &Settings::buffsize, 512},
        {"buffsize=100000", &Settings::buffsize, 8192},
        {"http_read_timeout=0", &Settings::http_read_timeout, 1},
        {"ftp_read_timeout=-5", &Settings::ftp_read_timeout, 1},
        {"max_connections=0", &Settings::max_connections, 1},
        {"max_body_size=-1", &Settings::max_body_size, 0},
        {"buffsize=4096", &Settings::buffsize, 4096},
    };
    for (const auto& c : cases) {
        output.clear();
        auto s = read(std::string("[Options]\n") + c.line + "\n");
        EXPECT_EQ((*s).*c.field, c.expected) << c.line;
        EXPECT_EQ(output.contains("*** Error! "), c.expected != 4096) << c.line;
    }
    EXPECT_EQ(Settings().max_connections, 1024);  // defaults come from the same table
}

// Host masks are part of the snapshot; a mask an alias names but the file
// lacks is reported (the alias still admits everybody).
TEST_F(SettingsTest, HostRestrictionsAreReadWithTheSettings) {
    auto s = read("[Aliases]\nAlias1=/lan /srv/lan/ Anybody LAN\nAlias2=/far /srv/far/ Anybody nowhere\n"
                  "[Host Restrictions]\nlan=255.0.0.0\nlan.redirect=/sorry.htm\n");
    EXPECT_EQ(hostRestriction(*s, "Lan"), "255.0.0.0");
    EXPECT_EQ(hostRestriction(*s, "lan.redirect"), "/sorry.htm");
    EXPECT_FALSE(hostRestriction(*s, "nowhere"));
    EXPECT_TRUE(output.contains("*** Error! Alias /far names the host restriction 'nowhere'"));
    EXPECT_FALSE(output.contains("'LAN'"));
}

// A connection thread that still holds the old snapshot keeps reading it,
// whatever reloads publish meanwhile.
TEST_F(SettingsTest, ReloadPublishesANewSnapshotWithoutDisturbingHolders) {
    SettingsHolder holder;
    holder.publish(read("[Options]\nbuffsize=1024\n[Users]\nUser1=max one\n"));
    auto held = holder.get();
    holder.release();
    EXPECT_TRUE(output.contains("Freeing old INI information...\r\n"));
    EXPECT_TRUE(holder.get()->users.empty());
    holder.publish(read("[Options]\nbuffsize=2048\n[Users]\nUser1=ann two\n"));

    EXPECT_EQ(holder.get()->buffsize, 2048);
    EXPECT_EQ(holder.get()->users.at(0).name, "ann");
    EXPECT_EQ(held->buffsize, 1024);
    EXPECT_EQ(held->users.at(0).name, "max");
}

}  // namespace
}  // namespace qv
