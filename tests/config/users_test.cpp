// The user and group checks, external user files, and the per-user FTP keys
// as the settings snapshot holds them.
#include "engine/config/users.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace qv {
namespace {

using Opt = std::optional<std::string_view>;

class UsersTest : public ::testing::Test {
protected:
    UsersTest() {
        s.iniPath = folder.file("quorvane.ini");
        s.users = {{"anna", "Secret", false, {}}, {"bob", "", false, {}}, {"carl", "pw", false, {}}};
        s.groups = {{"Staff", {"anna", "carl"}, folder.file("staff.ini")}, {"Guests", {"bob"}, std::nullopt}};
        test::writeFile(folder.file("staff.ini"), "[Users]\nzoe = MixedCase\nmax=@locked\nempty=\n");
    }

    test::TempFolder folder;
    Settings s;
    test::CapturedOutput output;
};

TEST_F(UsersTest, CheckUserPassword) {
    struct Case { Opt user, password; int expected; };
    for (const Case& c : std::initializer_list<Case>{
             {std::nullopt, "Secret", -1}, {"Anna", "Secret", -4}, {"anna", std::nullopt, -2},
             {"anna", "secret", -3}, {"anna", "Secret", 0}, {"bob", "anything", 0}, {"bob", std::nullopt, 0}})
        EXPECT_EQ(checkUserPassword(s, c.user, c.password), c.expected) << c.user.value_or("-");
}

TEST_F(UsersTest, GroupsFoldOnlyTheGroupNameExternalFilesAlsoThePassword) {
    EXPECT_EQ(isUserInGroup(s, "carl", "STAFF"), 1);
    EXPECT_EQ(isUserInGroup(s, "Carl", "Staff"), 0);
    EXPECT_EQ(isUserInGroup(s, "bob", "Staff"), 0);
    struct Case { Opt user, password, group; int expected; };
    for (const Case& c : std::initializer_list<Case>{
             {"zoe", "mixedCASE", "Staff", 1}, {"ZOE", "MixedCase", "Staff", 1}, {"zoe", "MixedCase", "staff", 0},
             {"zoe", "Mixed", "Staff", 0}, {"max", "@locked", "Staff", 0}, {"ghost", "@", "Staff", 0},
             {"empty", "", "Staff", 1}, {"bob", "", "Guests", 0}, {"zoe", std::nullopt, "Staff", 0}})
        EXPECT_EQ(checkExternalUser(s, c.user, c.password, c.group), c.expected) << c.user.value_or("-");
}

// A user's FTP keys carry the number of its User line (here user 2 is
// refused for want of a password, and carl stays user 3), and they are read
// with the rest of the settings: a later edit of the file changes nothing
// until a reload.
struct UserFtpKeys : ::testing::Test {
    test::TempFolder folder;
    test::CapturedOutput output;
    std::shared_ptr<const Settings> s;
    void SetUp() override {
        std::string ini = folder.file("quorvane.ini");
        test::writeFile(ini, "[Users]\nUser1=anna Secret\nUser2=bob\nUser3=carl pw\nFTPSuperUser1=0\n"
                             "FTPSuperUser3=1 yes\nFTPDir1=\\srv\\ftp\\anna\nFTPRestrict1=1\nFTPDir2=/srv/bob\n"
                             "FTPDir3=/" + std::string(300, 'd') + "\nFTPDirWrite3=1\n");
        s = readSettings(ini);
        test::writeFile(ini, "[Users]\nUser1=anna Secret\nFTPSuperUser1=1\n");
        output.clear();
    }
};

TEST_F(UserFtpKeys, SuperUserByLineNumber) {
    EXPECT_EQ(isSuperUser(*s, "carl"), 1);
    EXPECT_TRUE(output.texts().empty());
    for (Opt user : {Opt("anna"), Opt("bob"), Opt("nobody"), Opt()}) EXPECT_EQ(isSuperUser(*s, user), 0);
    EXPECT_EQ(output.texts(), std::vector<std::string>(4, "User not superuser.\r\n"));
}

TEST_F(UserFtpKeys, FtpHome) {
    auto anna = getFtpHome(*s, "anna");
    ASSERT_TRUE(anna);
    EXPECT_EQ(anna->folder, "/srv/ftp/anna");
    EXPECT_EQ(anna->restrict, 1);
    EXPECT_EQ(anna->write, 0);
    auto carl = getFtpHome(*s, "carl");
    ASSERT_TRUE(carl);
    EXPECT_EQ(carl->folder, "/" + std::string(258, 'd'));
    EXPECT_EQ(carl->write, 1);
    EXPECT_FALSE(getFtpHome(*s, std::nullopt));
    EXPECT_TRUE(output.texts().empty());
    EXPECT_FALSE(getFtpHome(*s, "bob"));  // refused: no password
    EXPECT_FALSE(getFtpHome(*s, "nobody"));
    EXPECT_EQ(output.texts(), std::vector<std::string>(2, "No FTP Home Dir found.\r\n"));
}

}  // namespace
}  // namespace qv
