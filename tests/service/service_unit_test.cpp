// Installing the service without adding users to this machine: the unit
// text as systemd will read it back, the service user found or created
// through a fake helper runner, and the log and temp folders handed over
// (for real where the tests run as root, into temporary folders only).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "service/service_control.h"
#include "service/service_unit.h"
#include "tests/support/test_support.h"

namespace qv::service {
namespace {

using test::TempFolder;

TEST(ServiceUnitText, ValuesAreEscapedAsSystemdReadsThem) {
    auto text = serviceUnitText({"/opt/my qv/100%/qvx$32", "quorvane", "/srv/my etc/\"q\"\\"});
    ASSERT_TRUE(text);
    // "%" would start a specifier, "$" a variable, a blank a second word.
    EXPECT_NE(text->find("\nExecStart=\"/opt/my qv/100%%/qvx$$32\"\n"), std::string::npos) << *text;
    EXPECT_NE(text->find("\nEnvironment=\"QUORVANE_ETC=/srv/my etc/\\\"q\\\"\\\\\"\n"), std::string::npos) << *text;
    // Plain values stay plain.
    auto plain = serviceUnitText({"/usr/bin/qvx32", "quorvane", ""});
    ASSERT_TRUE(plain);
    EXPECT_NE(plain->find("\nExecStart=/usr/bin/qvx32\n"), std::string::npos);
    EXPECT_EQ(plain->find("QUORVANE_ETC"), std::string::npos);
}

TEST(ServiceUnitText, RefusesValuesThatWouldAddUnitLines) {
    EXPECT_FALSE(serviceUnitText({"/usr/bin/qvx32", "quorvane", "/etc/q\nUser=root"}));
    EXPECT_FALSE(serviceUnitText({"/usr/bin/qvx32\r", "quorvane", ""}));
    EXPECT_FALSE(serviceUnitText({"/usr/bin/qvx32", "root\nGroup=root", ""}));
}

TEST(ServiceUser, NamesThatUseraddCouldMistakeForOptionsAreRefused) {
    for (const char* good : {"quorvane", "_svc", "qv-web_2", "abcdefghijklmnopqrstuvwxyz012345"})
        EXPECT_TRUE(validUserName(good)) << good;
    for (const char* bad : {"", "-o", "--uid=0", "Quorvane", "qv web", "qv:x", "../x", "1qv", "qv/x",
                            "abcdefghijklmnopqrstuvwxyz0123456"})
        EXPECT_FALSE(validUserName(bad)) << bad;
}

// A stand-in for the user database and useradd.
struct FakeUsers {
    std::map<std::string, UserIds> existing;
    std::vector<std::vector<std::string>> runs;
    int exitStatus = 0;
    bool useraddAdds = true;
    bool root = true;

    SystemUsers tools() {
        SystemUsers u;
        u.find = [this](const std::string& name) -> std::optional<UserIds> {
            auto it = existing.find(name);
            if (it == existing.end()) return std::nullopt;
            return it->second;
        };
        u.run = [this](const std::vector<std::string>& argv) {
            runs.push_back(argv);
            if (exitStatus == 0 && useraddAdds) existing[argv.back()] = UserIds{4242, 4343};
            return exitStatus;
        };
        u.root = root;
        return u;
    }
};

TEST(ServiceUser, CreatedOnlyByRootAndOnlyWhenMissing) {
    FakeUsers fake;
    fake.existing["www"] = UserIds{33, 33};
    UserIds ids;
    EXPECT_EQ(ensureServiceUser("www", fake.tools(), ids), UserResult::kExists);
    EXPECT_EQ(ids.uid, 33u);
    EXPECT_TRUE(fake.runs.empty());

    EXPECT_EQ(ensureServiceUser("quorvane", fake.tools(), ids), UserResult::kCreated);
    EXPECT_EQ(ids.uid, 4242u);
    EXPECT_EQ(ids.gid, 4343u);
    ASSERT_EQ(fake.runs.size(), 1u);
    EXPECT_EQ(fake.runs[0], (std::vector<std::string>{"useradd", "--system", "--user-group", "--no-create-home",
                                                      "--home-dir", "/var/lib/quorvane", "--shell",
                                                      "/usr/sbin/nologin", "quorvane"}));

    FakeUsers notRoot;
    notRoot.root = false;
    EXPECT_EQ(ensureServiceUser("quorvane", notRoot.tools(), ids), UserResult::kMissing);
    EXPECT_TRUE(notRoot.runs.empty());
}

TEST(ServiceUser, FailedOrIneffectiveUseraddIsAFailure) {
    FakeUsers failing;
    failing.exitStatus = 9;
    UserIds ids;
    EXPECT_EQ(ensureServiceUser("quorvane", failing.tools(), ids), UserResult::kCreateFailed);
    FakeUsers silent;
    silent.useraddAdds = false;
    EXPECT_EQ(ensureServiceUser("quorvane", silent.tools(), ids), UserResult::kCreateFailed);
    FakeUsers any;
    EXPECT_EQ(ensureServiceUser("-o", any.tools(), ids), UserResult::kCreateFailed);
    EXPECT_TRUE(any.runs.empty());
}

// Handing folders over changes owners, which only root may do.
struct WorkFolders : ::testing::Test {
    TempFolder top;
    UserIds nobody;
    std::string data = top.file("data");

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
        const passwd* pw = getpwnam("nobody");
        if (!pw) GTEST_SKIP() << "no user nobody here";
        nobody = UserIds{pw->pw_uid, pw->pw_gid};
    }
    static struct stat info(const std::string& path) {
        struct stat st {};
        lstat(path.c_str(), &st);
        return st;
    }
};

TEST_F(WorkFolders, MissingFolderIsMadeForTheUserUnderSearchableParents) {
    std::string logs = top.file("var/lib/qv/logs");
    ASSERT_EQ(handOverFolder(logs + "/", nobody, data), FolderResult::kHandedOver);
    EXPECT_EQ(info(logs).st_uid, nobody.uid);
    EXPECT_EQ(info(logs).st_gid, nobody.gid);
    EXPECT_EQ(info(logs).st_mode & 07777, 0770u);
    EXPECT_EQ(info(top.file("var/lib/qv")).st_mode & 0777, 0755u);
    EXPECT_EQ(info(top.file("var/lib/qv")).st_uid, 0u);
}

TEST_F(WorkFolders, EmptyFolderChangesHandsAndAFullOneOutsideTheDataFolderDoesNot) {
    std::string empty = top.file("empty");
    std::string shared = top.file("shared");
    ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
    test::writeFile(shared + "/syslog", "other programs' logs");
    EXPECT_EQ(handOverFolder(empty, nobody, data), FolderResult::kHandedOver);
    EXPECT_EQ(info(empty).st_uid, nobody.uid);
    EXPECT_EQ(handOverFolder(shared, nobody, data), FolderResult::kLeftAsIs);
    EXPECT_EQ(info(shared).st_uid, 0u);
    EXPECT_EQ(info(shared).st_mode & 0777, 0755u);
    EXPECT_EQ(info(shared + "/syslog").st_uid, 0u);
}

TEST_F(WorkFolders, InsideTheDataFolderOldFilesAreHandedOverButALinkOutIsNotFollowed) {
    std::string logs = data + "/logs";
    ASSERT_EQ(std::filesystem::create_directories(logs + "/old"), true);
    test::writeFile(logs + "/old/access.log", "written by root");
    std::string outside = top.file("outside");
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    test::writeFile(outside + "/keep", "not ours");
    ASSERT_EQ(symlink(outside.c_str(), (logs + "/elsewhere").c_str()), 0);

    EXPECT_EQ(handOverFolder(logs, nobody, data + "/"), FolderResult::kHandedOver);
    EXPECT_EQ(info(logs + "/old/access.log").st_uid, nobody.uid);
    EXPECT_EQ(info(logs + "/old").st_uid, nobody.uid);
    EXPECT_EQ(info(outside + "/keep").st_uid, 0u);
    EXPECT_EQ(info(outside).st_uid, 0u);

    // A data-folder path that is a link to a full folder elsewhere is
    // judged by where it leads.
    std::string temp = data + "/temp";
    ASSERT_EQ(symlink(outside.c_str(), temp.c_str()), 0);
    EXPECT_EQ(handOverFolder(temp, nobody, data), FolderResult::kLeftAsIs);
    EXPECT_EQ(info(outside).st_uid, 0u);
}

// installService as a whole, with the fake user database: nothing outside
// the temporary folders changes.
struct Install : ::testing::Test {
    TempFolder units, etc, work;
    FakeUsers fake;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;

    void setEnv(const char* name, const std::string& value) {
        const char* old = std::getenv(name);
        saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        setenv(name, value.c_str(), 1);
    }
    void SetUp() override {
        setEnv("QUORVANE_UNIT_DIR", units.path());
        setEnv("QUORVANE_ETC", etc.path());
        setEnv("QUORVANE_RUN", "/tmp/elsewhere");
        test::writeFile(etc.file("quorvane.ini"),
                        "[Options]\nlogdir=" + work.file("logs") + "/\ntempdir=" + work.file("temp") + "/\n");
    }
    void TearDown() override {
        for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
            if (it->second)
                setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                unsetenv(it->first.c_str());
        }
    }
    // Runs installService; returns what it printed on stdout and stderr.
    std::pair<std::string, std::string> install(const std::string& user) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        installService(user, fake.tools());
        std::fflush(stdout);
        std::fflush(stderr);
        std::string out = testing::internal::GetCapturedStdout();
        return {out, testing::internal::GetCapturedStderr()};
    }
};

TEST_F(Install, MissingDefaultUserIsCreatedAndGetsTheWorkFolders) {
    fake.root = true;
    auto [out, err] = install(kDefaultServiceUser);
    EXPECT_EQ(out, "System user quorvane created.\nQuorvane32 Service installed.\n");
    ASSERT_EQ(fake.runs.size(), 1u);
    EXPECT_EQ(fake.runs[0].back(), "quorvane");
    std::string unit = test::readFile(units.file("quorvane32.service"));
    EXPECT_NE(unit.find("\nUser=quorvane\n"), std::string::npos);
    EXPECT_NE(unit.find("\nEnvironment=QUORVANE_RUN=/run/quorvane\n"), std::string::npos);
    EXPECT_NE(unit.find("\nEnvironment=QUORVANE_ETC=" + etc.path() + "\n"), std::string::npos);
    // The shell's other runtime folder is not carried into the unit.
    EXPECT_EQ(unit.find("/tmp/elsewhere"), std::string::npos);
    EXPECT_NE(err.find("The service uses the runtime folder /run/quorvane, not QUORVANE_RUN=/tmp/elsewhere"),
              std::string::npos)
        << err;
    // The unit's private /tmp would hide settings kept there.
    if (etc.path().rfind("/tmp/", 0) == 0) {
        EXPECT_NE(err.find("will not see " + etc.path() + ".\n"), std::string::npos) << err;
    }
    if (geteuid() == 0) {
        struct stat st {};
        for (const char* name : {"logs", "temp"}) {
            ASSERT_EQ(stat(work.file(name).c_str(), &st), 0) << name;
            EXPECT_EQ(st.st_uid, 4242u) << name;
            EXPECT_EQ(st.st_gid, 4343u) << name;
            EXPECT_EQ(st.st_mode & 07777, 0770u) << name;
        }
    }
}

TEST_F(Install, UserThatCannotBeCreatedLeavesNoUnit) {
    fake.root = true;
    fake.exitStatus = 1;
    auto [out, err] = install("quorvane");
    EXPECT_EQ(out, "CreateService failed - unable to create the user quorvane\n");
    EXPECT_NE(access(units.file("quorvane32.service").c_str(), F_OK), 0);
    EXPECT_NE(access(work.file("logs").c_str(), F_OK), 0);
}

// Without root nothing is created or handed over; the unit is still
// written (for a package build, say) with a reminder.
TEST_F(Install, WithoutRootAMissingUserIsOnlyReported) {
    fake.root = false;
    auto [out, err] = install("quorvane");
    EXPECT_EQ(out, "Quorvane32 Service installed.\n");
    EXPECT_NE(err.find("The user quorvane does not exist; create it before starting the service.\n"),
              std::string::npos);
    EXPECT_TRUE(fake.runs.empty());
    EXPECT_NE(access(work.file("logs").c_str(), F_OK), 0);
    EXPECT_NE(test::readFile(units.file("quorvane32.service")).find("\nUser=quorvane\n"), std::string::npos);
}

}  // namespace
}  // namespace qv::service
