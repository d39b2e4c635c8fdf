// Commands that change files on an FTP server: uploads, renames, deletes
// and folders, with the write rules of anonymous, named and home users.
#include <gtest/gtest.h>

#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/core/engine.h"
#include "engine/platform/syscalls.h"
#include "tests/ftp/ftp_test_client.h"
#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::FtpClient;

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

struct FtpWrites : ::testing::Test {
    test::TempFolder etc, run, site, shared;
    EnginePtr engine;
    int port = 0;
    std::string home;

    void SetUp() override {
        mkdir(site.file("users").c_str(), 0777);
        mkdir(site.file("users/max").c_str(), 0777);
        mkdir(site.file("pub").c_str(), 0777);
        home = site.file("users/max");
        test::writeFile(home + "/mine.txt", "max's");
        test::writeFile(home + "/other.txt", "");
        test::writeFile(home + "/a.html", "<p>twin</p>");
        test::writeFile(site.file("pub/a.txt"), "hello");
        EngineOptions o;
        o.ftpDataTimeout = std::chrono::milliseconds(1500);
        // ann may write under /shared through its FTP rights, max in his
        // home only.
        const std::string ini =
            "[Options]\nmax_upload_mb=1\n"
            "[Aliases]\nAlias1=/shared " + shared.path() + "/\nFTPOwner1=ann\nFTPRights1=rw-------\n"
            "[Users]\nUser1=max secret\nFTPDir1=/users/max\nFTPRestrict1=1\nFTPDirWrite1=1\nUser2=ann pw\n"
            "[Multi]\nserver1=ftp\nip1=127.0.0.1\nport1=0\ndir1=" + site.path() + "/\nserver2=none\n";
        engine = test::startEngineWith(etc, run, ini, o);
        port = serverPort(*engine, 1);
        ASSERT_NE(port, 0);
    }

    std::unique_ptr<FtpClient> as(const std::string& user, const std::string& password) {
        auto c = std::make_unique<FtpClient>(port);
        EXPECT_TRUE(startsWith(c->reply(), "220 "));
        EXPECT_TRUE(c->login(user, password));
        return c;
    }

    // STOR over a fresh passive connection: sends `bytes`, then closes the
    // data connection (with a reset when `reset`); the final reply.
    std::string store(FtpClient& c, const std::string& name, const std::string& bytes, bool reset = false) {
        int data = c.passiveData();
        EXPECT_GE(data, 0);
        std::string first = c.command("STOR " + name);
        if (!startsWith(first, "150")) {
            close(data);
            return first;
        }
        test::sendText(data, bytes);
        if (reset)
            test::resetAndClose(data);
        else
            close(data);
        return c.reply();
    }

    std::string retrieve(FtpClient& c, const std::string& name) {
        int data = c.passiveData();
        EXPECT_EQ(c.command("RETR " + name), "150 Opening data connection for XXX (XXX bytes).\r\n");
        std::string bytes = test::readUntilClosed(data, 5000);
        close(data);
        EXPECT_EQ(c.reply(), "226 Transfer complete.\r\n");
        return bytes;
    }

    // Names in the home folder that an unfinished upload left behind.
    int workFiles() {
        int n = 0;
        DIR* d = opendir(home.c_str());
        while (dirent* e = readdir(d)) n += std::string(e->d_name).rfind(".qvwork.", 0) == 0;
        closedir(d);
        return n;
    }
};

TEST_F(FtpWrites, StoreThenRetrieve) {
    auto c = as("max", "secret");
    std::string payload;
    for (int i = 0; i < 300000; ++i) payload += static_cast<char>(i * 7 % 251);
    mode_t old = umask(022);
    EXPECT_EQ(store(*c, "new.bin", payload), "226 Transfer complete.\r\n");
    umask(old);
    EXPECT_EQ(retrieve(*c, "new.bin"), payload);
    struct stat st {};
    ASSERT_EQ(stat((home + "/new.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(store(*c, "mine.txt", "replaced"), "226 Transfer complete.\r\n");
    EXPECT_EQ(test::readFile(home + "/mine.txt"), "replaced");
    EXPECT_EQ(workFiles(), 0);
    EXPECT_EQ(c->command("STOR x"), "550 Error Opening data connection for /bin/ls.\r\n");
}

TEST_F(FtpWrites, FailedUploadsKeepTheOldFile) {
    auto c = as("max", "secret");
    EXPECT_EQ(store(*c, "mine.txt", std::string(100000, 'x'), true), "426 Connection closed; transfer aborted.\r\n");
    EXPECT_EQ(test::readFile(home + "/mine.txt"), "max's");
    // Past max_upload_mb (1 MiB here).
    EXPECT_EQ(store(*c, "mine.txt", std::string((1 << 20) + 1, 'y')),
              "552 Requested file action aborted: exceeded storage allocation.\r\n");
    EXPECT_EQ(test::readFile(home + "/mine.txt"), "max's");
    {
        test::FaultsCleared cleared;
        int data = c->passiveData();
        EXPECT_EQ(c->command("STOR mine.txt"), "150 Opening data connection for XXX (XXX bytes).\r\n");
        failNthCall(SysOp::kWrite, 1, ENOSPC);
        test::sendText(data, "a disk that fills");
        close(data);
        EXPECT_EQ(c->reply(), "451 Requested action aborted: local error in processing.\r\n");
    }
    EXPECT_EQ(test::readFile(home + "/mine.txt"), "max's");
    EXPECT_EQ(workFiles(), 0);
    EXPECT_EQ(store(*c, "nofolder/x.txt", "z"), "553 Requested action not taken: file could not be created.\r\n");
}

TEST_F(FtpWrites, RenameNeverReplaces) {
    auto c = as("max", "secret");
    EXPECT_EQ(c->command("RNTO moved.txt"), "550 RNTO unknown error.\r\n");
    EXPECT_EQ(c->command("RNFR mine.txt"), "350 File exists, ready for destination name\r\n");
    EXPECT_EQ(c->command("RNTO other.txt"), "550 xxx: File already exists.  Size > 0.\r\n");
    EXPECT_EQ(test::readFile(home + "/mine.txt"), "max's");
    EXPECT_EQ(test::readFile(home + "/other.txt"), "");
    EXPECT_EQ(c->command("RNFR mine.txt"), "350 File exists, ready for destination name\r\n");
    EXPECT_EQ(c->command("RNTO moved.txt"), "250 RNTO command successful.\r\n");
    EXPECT_EQ(test::readFile(home + "/moved.txt"), "max's");
    EXPECT_EQ(access((home + "/mine.txt").c_str(), F_OK), -1);
    EXPECT_EQ(c->command("RNTO again.txt"), "550 RNTO unknown error.\r\n");
}

TEST_F(FtpWrites, WriteRules) {
    auto anon = as("anonymous", "me@example.org");
    for (const char* line :
         {"DELE pub/a.txt", "MKD pub/x", "RMD pub", "RNFR pub/a.txt", "RNTO pub/b.txt", "STOR pub/c"})
        EXPECT_EQ(anon->command(line), "550 Error anonymous users cannot do that.\r\n") << line;
    EXPECT_EQ(anon->command("MKD /shared/x"), "500 MKD /shared/x: Access error.\r\n");

    auto ann = as("ann", "pw");
    const std::string noRights = "550 Error current user does not have write access in this directory.\r\n";
    EXPECT_EQ(ann->command("DELE pub/a.txt"), noRights);
    EXPECT_EQ(ann->command("MKD /users/max/x"), noRights);
    EXPECT_EQ(ann->command("MKD /shared/x"), "250 MKD command successful.\r\n");
    EXPECT_EQ(ann->command("RMD /shared/x"), "250 RMD command successful.\r\n");
    EXPECT_EQ(test::readFile(site.file("pub/a.txt")), "hello");

    auto max = as("max", "secret");
    mode_t old = umask(022);
    EXPECT_EQ(max->command("MKD sub"), "250 MKD command successful.\r\n");
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat((home + "/sub").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(max->command("MKD sub"), "500 MKD Error creating directory.\r\n");
    EXPECT_EQ(max->command("RMD sub"), "250 RMD command successful.\r\n");
    EXPECT_EQ(max->command("RMD sub"), "500 RMD Error removing directory.\r\n");
    // No twin: DELE of "a.htm" never touches "a.html".
    EXPECT_EQ(max->command("DELE a.htm"),
              "550 Unable to delete file /users/max/a.htm [" + home + "/a.htm].\r\n");
    EXPECT_EQ(test::readFile(home + "/a.html"), "<p>twin</p>");
    EXPECT_EQ(max->command("DELE mine.txt"), "250 File /users/max/mine.txt [" + home + "/mine.txt] Deleted.\r\n");
    // Outside the home the restricted user is taken back into it.
    EXPECT_EQ(max->command("DELE /pub/a.txt"),
              "550 Unable to delete file /users/max/pub/a.txt [" + home + "/pub/a.txt].\r\n");
    EXPECT_EQ(test::readFile(site.file("pub/a.txt")), "hello");
}

}  // namespace
}  // namespace qv
