// The SMTP server on loopback: an engine started in-process on port 0 with
// a mail-user file and mail folder of the test's own, raw sockets, every
// wait bounded.
#include <gtest/gtest.h>

#include <cerrno>
#include <dirent.h>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine/core/engine.h"
#include "engine/platform/profile.h"
#include "engine/platform/syscalls.h"
#include "tests/support/net.h"
#include "tests/support/reply_client.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::ReplyClient;

struct SmtpServer : ::testing::Test {
    test::TempFolder etc, run, temp, mail;
    EnginePtr engine;
    int port = 0;

    void start(const std::string& options = "") {
        test::writeFile(etc.file("qvx_mail.ini"),
                        "[mail domains]\nexample.test=yes\n[mail files]\nann=" + mail.file("ann") +
                            "\nbob=" + mail.file("bob") + "\nlost=" + mail.file("missing/lost") + "\n");
        engine = test::startEngine(etc, run,
                                   "[Options]\nhostname=mail.test\ntempdir=" + temp.path() + "/\n" + options +
                                       "[Multi]\nserver1=mail\nport1=0\nserver2=none\n");
        port = serverPort(*engine, 1);
        ASSERT_NE(port, 0);
    }

    std::unique_ptr<ReplyClient> connect() {
        auto client = std::make_unique<ReplyClient>(port);
        const std::string greeting = client->reply();
        EXPECT_TRUE(std::regex_match(greeting, std::regex("220 mail\\.test SMTP Quorvane pro-1\\.50-r13 ready at "
                                                          "\\w{3} \\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\r\n")))
            << greeting;
        return client;
    }

    // MAIL, one RCPT per recipient and DATA, all accepted.
    void envelope(ReplyClient& client, const std::vector<std::string>& to) {
        ASSERT_EQ(client.command("MAIL FROM:<me@far.test>"), "250 me@far.test... Sender ok\r\n");
        for (const auto& address : to)
            ASSERT_EQ(client.command("RCPT TO:<" + address + ">"), "250 " + address + "... Recipient ok\r\n");
        ASSERT_EQ(client.command("DATA"), "354 Enter mail, end with \".\" on a line by itself\r\n");
    }

    std::vector<std::string> tempFiles(const std::string& prefix) const {
        std::vector<std::string> names;
        DIR* dir = opendir(temp.path().c_str());
        while (dirent* e = readdir(dir))
            if (std::string(e->d_name).rfind(prefix, 0) == 0) names.push_back(temp.file(e->d_name));
        closedir(dir);
        return names;
    }
};

TEST_F(SmtpServer, CommandReplies) {
    start();
    auto c = connect();
    EXPECT_EQ(c->command("EHLO me"), "500 Command unrecognized\r\n");
    EXPECT_EQ(c->command("HELO me"), "250 mail.test Hello  (127.0.0.1), pleased to meat you.\r\n");
    EXPECT_EQ(c->command("RCPT TO:<ann@example.test>"), "503 Sender not specified\r\n");
    EXPECT_EQ(c->command("DATA"), "503 Need MAIL command first\r\n");
    EXPECT_EQ(c->command("mail from:<>"), "250 root... Sender ok\r\n");
    EXPECT_EQ(c->command("MAIL FROM: x@y"), "503 Sender already specified\r\n");
    EXPECT_EQ(c->command("DATA"), "503 Need RCPT (recipient)\r\n");
    EXPECT_EQ(c->command("RCPT TO:"), "500 Error\r\n");
    EXPECT_EQ(c->command("RCPT TO:<carl@example.test>"), "550 carl@example.test...User unknown\r\n");
    // Nothing here forwards mail: a remote recipient is refused, not lost.
    EXPECT_EQ(c->command("RCPT TO:<ann@far.test>"), "551 ann@far.test... User not local\r\n");
    // A mail file that cannot be written now: the sender is to try later.
    EXPECT_EQ(c->command("RCPT TO:<lost@example.test>"),
              "450 lost@example.test... Mailbox unavailable, try again later\r\n");
    EXPECT_EQ(c->command("rcpt to: <Ann@Example.Test>"), "250 Ann@Example.Test... Recipient ok\r\n");
    EXPECT_EQ(c->command("VRFY ann"), "500 Command unrecognized\r\n");
    EXPECT_EQ(c->command("NOOP"), "250 OK\r\n");
    EXPECT_EQ(c->command("RSET"), "250 OK\r\n");
    EXPECT_EQ(c->command("DATA"), "503 Need MAIL command first\r\n");
    EXPECT_EQ(c->command("HELO " + std::string(2000, 'h')), "500 Line too long\r\n");
    EXPECT_EQ(c->command("QUIT"), "221 mail.test closing connection\r\n");
    EXPECT_TRUE(test::eventually([&] { return test::peerClosed(c->fd); }));
    EXPECT_TRUE(tempFiles("mqf").empty());
}

TEST_F(SmtpServer, MessagesAreDeliveredBeforeTheReply) {
    start();
    auto c = connect();
    envelope(*c, {"ann@example.test", "bob@example.test"});
    EXPECT_EQ(c->command("Subject: one\r\n\r\n..dots\r\nFrom me\r\nquit\r\n."), "250 Ok\r\n");
    const std::string first = "\nSubject: one\n\n.dots\n>From me\nquit\n\n";
    const std::string ann = test::readFile(mail.file("ann"));
    EXPECT_TRUE(std::regex_match(ann, std::regex("From me@far\\.test \\w{3} \\w{3} [ \\d]\\d [\\d:]{8} \\d{4}" +
                                                 std::regex_replace(first, std::regex("\\."), "\\."))))
        << ann;
    EXPECT_EQ(test::readFile(mail.file("bob")), ann);
    // A second message in the same session, the commands sent at once.
    c->send("MAIL FROM:<you@far.test>\r\nRCPT TO:<ann@example.test>\r\nDATA\r\nsecond\r\n.\r\nQUIT");
    EXPECT_EQ(c->reply(), "250 you@far.test... Sender ok\r\n");
    EXPECT_EQ(c->reply(), "250 ann@example.test... Recipient ok\r\n");
    EXPECT_EQ(c->reply(), "354 Enter mail, end with \".\" on a line by itself\r\n");
    EXPECT_EQ(c->reply(), "250 Ok\r\n");
    EXPECT_EQ(c->reply(), "221 mail.test closing connection\r\n");
    EXPECT_NE(test::readFile(mail.file("ann")).find("\n\nFrom you@far.test "), std::string::npos);
    EXPECT_EQ(test::readFile(mail.file("bob")), ann);

    // The spool and control files stay; the control file tells the outcome.
    const auto controls = tempFiles("mcf");
    ASSERT_EQ(controls.size(), 2u);
    for (const auto& path : controls) {
        ProfileFile control(path);
        const std::string spool = control.getString("Mail Info", "File", "", 260);
        EXPECT_EQ(spool.rfind(temp.file("mqf"), 0), 0u) << spool;
        EXPECT_EQ(control.getString("Mail Status", "To1", "", 64), "Sent");
        if (control.getInt("Mail Info", "ToCount", 0) == 2) {
            EXPECT_EQ(control.getString("Mail Info", "To2", "", 256), "bob@example.test");
            EXPECT_EQ(control.getString("Mail Status", "To2", "", 64), "Sent");
            EXPECT_EQ(test::readFile(spool), ann);
        }
    }
}

// "x LF . LF RSET" inside a message is text: the message ends only at
// CR LF "." CR LF, so no command can be smuggled into a later message.
TEST_F(SmtpServer, BareLineFeedsDoNotEndAMessage) {
    start();
    auto c = connect();
    envelope(*c, {"ann@example.test"});
    c->send("x\n.\nRSET\r\nMAIL FROM:<evil@far.test>\r\n.");
    EXPECT_EQ(c->reply(), "250 Ok\r\n");
    EXPECT_EQ(c->command("NOOP", 300), "250 OK\r\n");  // no reply was left queued
    const std::string ann = test::readFile(mail.file("ann"));
    EXPECT_NE(ann.find("\nx\n.\nRSET\nMAIL FROM:<evil@far.test>\n\n"), std::string::npos) << ann;
}

TEST_F(SmtpServer, LimitsOnRecipientsAndSize) {
    start("max_message_size=2048\n");
    auto c = connect();
    ASSERT_EQ(c->command("MAIL FROM:<me@far.test>"), "250 me@far.test... Sender ok\r\n");
    for (int i = 0; i < 100; ++i) ASSERT_EQ(c->command("RCPT TO:<ann@example.test>"), "250 ann@example.test... Recipient ok\r\n");
    EXPECT_EQ(c->command("RCPT TO:<bob@example.test>"), "552 Too many recipients\r\n");
    EXPECT_EQ(c->command("RSET"), "250 OK\r\n");
    envelope(*c, {"ann@example.test"});
    EXPECT_EQ(c->command(std::string(3000, 'z') + "\r\n."), "552 Message size exceeds fixed maximum message size\r\n");
    EXPECT_TRUE(tempFiles("mqf").empty());
    EXPECT_TRUE(tempFiles("mcf").empty());
    EXPECT_NE(access(mail.file("ann").c_str(), F_OK), 0);
    envelope(*c, {"ann@example.test"});
    EXPECT_EQ(c->command("small\r\n."), "250 Ok\r\n");
}

// A client that goes away in the middle of a message leaves nothing
// delivered and no files behind.
TEST_F(SmtpServer, ACutOffMessageIsNotDelivered) {
    start();
    {
        auto c = connect();
        envelope(*c, {"ann@example.test"});
        test::sendText(c->fd, "Subject: half\r\nthe first half\r\n");
    }
    EXPECT_TRUE(test::eventually([&] { return tempFiles("mqf").empty() && tempFiles("mcf").empty(); }));
    EXPECT_NE(access(mail.file("ann").c_str(), F_OK), 0);
}

// A mail file that breaks between RCPT and the end of the message: the
// sender hears 451 and keeps the message; the other recipient has it.
TEST_F(SmtpServer, AFailedDeliveryIsNotAcknowledged) {
    start();
    auto c = connect();
    envelope(*c, {"ann@example.test", "bob@example.test"});
    ASSERT_EQ(mkdir(mail.file("bob").c_str(), 0700), 0);
    EXPECT_EQ(c->command("text\r\n."), "451 Requested action aborted: local error in processing\r\n");
    EXPECT_NE(test::readFile(mail.file("ann")).find("\ntext\n"), std::string::npos);
    const auto controls = tempFiles("mcf");
    ASSERT_EQ(controls.size(), 1u);
    ProfileFile control(controls[0]);
    EXPECT_EQ(control.getString("Mail Status", "To1", "", 64), "Sent");
    EXPECT_EQ(control.getString("Mail Status", "To2", "", 64), "Error Appending");
}

// A spool file that cannot be written (a full disk): 451, nothing
// delivered, no files left.
TEST_F(SmtpServer, ASpoolThatCannotBeWrittenIsNotAcknowledged) {
    test::FaultsCleared cleared;
    start();
    auto c = connect();
    envelope(*c, {"ann@example.test"});
    failNthCall(SysOp::kWrite, 1, ENOSPC);
    EXPECT_EQ(c->command("text\r\n."), "451 Requested action aborted: local error in processing\r\n");
    EXPECT_TRUE(tempFiles("mqf").empty());
    EXPECT_NE(access(mail.file("ann").c_str(), F_OK), 0);
}

// Sessions delivering to one mail file at once never mix their messages.
TEST_F(SmtpServer, ConcurrentDeliveriesStayWhole) {
    start();
    constexpr int kThreads = 16;
    constexpr int kMessages = 50;
    const std::string filler(100, 'f');
    std::vector<std::thread> threads;
    std::atomic<int> acknowledged {0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            ReplyClient c(port);
            c.reply();
            for (int m = 0; m < kMessages; ++m) {
                std::string body = "Subject: " + std::to_string(t) + "/" + std::to_string(m) + "\r\n\r\n";
                for (int line = 0; line < 20; ++line) body += std::to_string(t) + " " + filler + "\r\n";
                c.send("MAIL FROM:<t" + std::to_string(t) + "@far.test>\r\nRCPT TO:<ann@example.test>\r\nDATA\r\n" +
                       body + ".");
                std::string replies;
                for (int i = 0; i < 4; ++i) replies += c.reply(30000);
                if (replies.ends_with("250 Ok\r\n")) ++acknowledged;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(acknowledged, kThreads * kMessages);
    // Every message: its From line, its subject, 20 lines of its own thread,
    // the closing empty line.
    const std::string ann = test::readFile(mail.file("ann"));
    const std::regex message("From t(\\d+)@far\\.test [^\n]*\nSubject: \\1/\\d+\n\n(\\1 f{100}\n){20}\n");
    int count = 0;
    std::size_t at = 0;
    while (at < ann.size()) {
        const std::size_t end = ann.find("\n\nFrom ", at);
        const std::string one = ann.substr(at, end == std::string::npos ? std::string::npos : end + 2 - at);
        ASSERT_TRUE(std::regex_match(one, message)) << one;
        ++count;
        at += one.size();
    }
    EXPECT_EQ(count, kThreads * kMessages);
}

}  // namespace
}  // namespace qv
