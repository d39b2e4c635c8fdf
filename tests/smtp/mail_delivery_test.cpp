// Mail users and local delivery: findMailUser over a mail-user file, and
// processMailControlFile / AppendFile over real files.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "engine/platform/profile.h"
#include "engine/platform/syscalls.h"
#include "engine/smtp/mail_delivery.h"
#include "engine/smtp/mail_users.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

struct MailFiles : ::testing::Test {
    test::TempFolder folder;
    std::string usersPath = folder.file("qvx_mail.ini");
    ProfileFile users {usersPath};

    void SetUp() override {
        test::writeFile(usersPath,
                        "[mail domains]\nexample.test=1\nempty.test=\n\n"
                        "[mail files]\nann=" + folder.file("ann.mbox") +
                            "\nBob@Other.Test=" + folder.file("bob.mbox") +
                            "\nlost=" + folder.file("missing/lost.mbox") + "\n");
    }

    std::string control(const std::string& spool, const std::vector<std::string>& to) {
        std::string text = "[Mail Info]\r\nFile=" + spool + "\r\nFrom=me@far.test\r\nDate=x\r\nToCount=" +
                           std::to_string(to.size()) + "\r\n";
        for (std::size_t i = 0; i < to.size(); ++i) text += "To" + std::to_string(i + 1) + "=" + to[i] + "\r\n";
        const std::string path = folder.file("mcf1.tmp");
        test::writeFile(path, text);
        return path;
    }
};

TEST_F(MailFiles, FindMailUser) {
    struct Row {
        std::string address;
        int result;
        std::string name, domain, file;
    };
    const Row rows[] = {
        {"ann@example.test", kMailUserLocal, "ann", "example.test", "ann.mbox"},
        {"ANN@EXAMPLE.TEST", kMailUserLocal, "ANN", "EXAMPLE.TEST", "ann.mbox"},   // keys match in any case
        {"bob@other.test", kMailUserLocal, "bob@other.test", "", "bob.mbox"},      // a whole address as key
        {"ann", kMailUserLocal, "ann", "", "ann.mbox"},                            // a bare local name
        {"carl", kMailUserUnknown, "", "", ""},
        {"carl@example.test", kMailUserUnknown, "", "", ""},
        {"ann@far.test", kMailUserForeign, "ann", "far.test", ""},
        {"ann@empty.test", kMailUserForeign, "ann", "empty.test", ""},             // an empty value is no domain
        {"ann@", kMailUserForeign, "ann", "", ""},
    };
    for (const Row& row : rows) {
        MailUser user;
        user.mailFile = "stale";
        EXPECT_EQ(findMailUser(users, row.address, user), row.result) << row.address;
        EXPECT_EQ(user.name, row.name) << row.address;
        EXPECT_EQ(user.domain, row.domain) << row.address;
        EXPECT_EQ(user.mailFile, row.file.empty() ? "" : folder.file(row.file)) << row.address;
        EXPECT_EQ(user.local, row.result == kMailUserLocal) << row.address;
    }
    MailUser user;
    const std::string longName(100, 'n');
    EXPECT_EQ(findMailUser(users, longName + "@far.test", user), kMailUserForeign);
    EXPECT_EQ(user.name, longName.substr(0, kMailUserNameLength));
}

// Two local recipients and a remote one (numbered as accepted; the remote
// one gets no key); one whose folder is missing fails alone.
TEST_F(MailFiles, ControlFileRecordsEveryLocalRecipient) {
    const std::string spool = folder.file("mqf1.tmp");
    test::writeFile(spool, "From me@far.test x\nhello\n\n");
    test::writeFile(folder.file("ann.mbox"), "From old x\nold\n\n");
    const std::string path = control(spool, {"ann@example.test", "someone@far.test", "bob@other.test",
                                             "lost@example.test"});
    DeliveryCount count;
    ASSERT_EQ(processMailControlFile(path, users, &count), 1);
    EXPECT_EQ(count.sent, 2);
    EXPECT_EQ(count.failed, 1);
    ProfileFile status(path);
    EXPECT_EQ(status.keys("Mail Status"), (std::vector<std::string> {"To1", "To3", "To4"}));
    EXPECT_EQ(status.getString("Mail Status", "To1", "", 64), "Sent");
    EXPECT_EQ(status.getString("Mail Status", "To3", "", 64), "Sent");
    EXPECT_EQ(status.getString("Mail Status", "To4", "", 64), "Error Appending");
    EXPECT_EQ(test::readFile(folder.file("ann.mbox")), "From old x\nold\n\nFrom me@far.test x\nhello\n\n");
    EXPECT_EQ(test::readFile(folder.file("bob.mbox")), "From me@far.test x\nhello\n\n");
    struct stat st {};
    ASSERT_EQ(stat(folder.file("bob.mbox").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // a new mail file is the server's alone

    // Delivered again (by hand): the status keys are replaced, not repeated.
    mkdir(folder.file("missing").c_str(), 0700);
    ASSERT_EQ(processMailControlFile(path, users, &count), 1);
    EXPECT_EQ(count.sent, 3);
    EXPECT_EQ(status.getString("Mail Status", "To4", "", 64), "Sent");
    const std::string text = test::readFile(path);
    EXPECT_EQ(text.find("[Mail Status]"), text.rfind("[Mail Status]"));

    EXPECT_EQ(processMailControlFile(control(spool, {}), users), 0);
    EXPECT_EQ(processMailControlFile(control("", {"ann"}), users), 0);
    EXPECT_EQ(processMailControlFile("", users), 0);
    EXPECT_FALSE(ProfileFile(folder.file("mcf1.tmp")).hasKey("Mail Status", "To1"));
}

TEST_F(MailFiles, AppendFileKeepsMessagesApart) {
    const std::string spool = folder.file("spool");
    test::writeFile(spool, "From a x\nbody\n\n");
    const std::string mbox = folder.file("ann.mbox");
    test::writeFile(mbox, "From z x\nno line end");
    chmod(mbox.c_str(), 0640);
    ASSERT_EQ(AppendFile(spool, mbox), 1);
    EXPECT_EQ(test::readFile(mbox), "From z x\nno line end\nFrom a x\nbody\n\n");
    struct stat st {};
    ASSERT_EQ(stat(mbox.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // an existing file keeps its mode

    EXPECT_EQ(AppendFile(folder.file("none"), mbox), 0);
    EXPECT_EQ(AppendFile(spool, folder.file("missing/x.mbox")), 0);
    EXPECT_EQ(AppendFile(spool, folder.path()), 0);  // a folder is no mail file
}

// A disk that fills in the middle of a message: the mail file is cut back
// to what it held, never left with a part of a message.
TEST_F(MailFiles, AppendFileTakesBackAPartialMessage) {
    test::FaultsCleared cleared;
    const std::string spool = folder.file("spool");
    test::writeFile(spool, "From a x\n" + std::string(200000, 'b') + "\n\n");
    const std::string mbox = folder.file("ann.mbox");
    test::writeFile(mbox, "From old x\nold\n\n");
    shortenNthCall(SysOp::kWrite, 1, 1000);
    failNthCall(SysOp::kWrite, 2, ENOSPC);
    EXPECT_EQ(AppendFile(spool, mbox), 0);
    EXPECT_EQ(test::readFile(mbox), "From old x\nold\n\n");
    EXPECT_EQ(AppendFile(spool, mbox), 1);
    EXPECT_EQ(test::readFile(mbox), "From old x\nold\n\n" + test::readFile(spool));
}

// A mail reader's fcntl lock holds the delivery back until it lets go.
TEST_F(MailFiles, AppendFileWaitsForAReadersLock) {
    const std::string spool = folder.file("spool");
    test::writeFile(spool, "From a x\nbody\n\n");
    const std::string mbox = folder.file("ann.mbox");
    test::writeFile(mbox, "");
    // A classic record lock, as Python's mailbox and mutt take it.
    int reader = open(mbox.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(lockf(reader, F_TLOCK, 0), 0);
    std::atomic<int> result {-1};
    std::thread delivery([&] { result = AppendFile(spool, mbox); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(test::readFile(mbox), "");
    close(reader);
    delivery.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(test::readFile(mbox), "From a x\nbody\n\n");
}

TEST_F(MailFiles, MailFileWritable) {
    EXPECT_TRUE(mailFileWritable(folder.file("new.mbox")));
    test::writeFile(folder.file("old.mbox"), "");
    EXPECT_TRUE(mailFileWritable(folder.file("old.mbox")));
    EXPECT_FALSE(mailFileWritable(folder.file("missing/x.mbox")));
    EXPECT_FALSE(mailFileWritable(folder.path()));
}

}  // namespace
}  // namespace qv
