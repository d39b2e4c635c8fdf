// The FTP server on loopback: an engine started in-process on port 0 with a
// site folder of the test's own, raw control and data sockets, every wait
// bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine/core/engine.h"
#include "tests/ftp/ftp_test_client.h"
#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::FtpClient;
using Clock = std::chrono::steady_clock;

constexpr auto kDataTimeout = std::chrono::milliseconds(1500);

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// 2026-12-06 12:00 local time.
void stampDec6(const std::string& path) {
    std::tm t {};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 6;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    timespec times[2] = {{std::mktime(&t), 0}, {std::mktime(&t), 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

struct FtpServer : ::testing::Test {
    test::TempFolder etc, run, site, logs;
    EnginePtr engine;
    int port = 0;

    void SetUp() override {
        for (const char* folder : {"pub", "users", "users/max", "users/maxine", "empty"})
            mkdir(site.file(folder).c_str(), 0777);
        test::writeFile(site.file("pub/a.txt"), "hello");
        test::writeFile(site.file("pub/bin.dat"), std::string("\0\r\n\x7f\xff end\r", 10));
        test::writeFile(site.file("users/maxine/secret.txt"), "maxine's");
        test::writeFile(site.file("users/max/mine.txt"), "max's");
    }

    void start(const std::string& options = "") {
        EngineOptions o;
        o.ftpDataTimeout = kDataTimeout;
        const std::string ini = "[Options]\nlogdir=" + logs.path() + "/\n" + options +
                                "[Logging]\nenable_files=1\naccess_file=1\n"
                                "[Users]\nUser1=max secret\nFTPDir1=/users/max\nFTPRestrict1=1\nFTPDirWrite1=1\n"
                                "User2=ann pw\n"
                                "[Multi]\nserver1=ftp\nport1=0\ndir1=" +
                                site.path() + "/\nserver2=none\n";
        engine = test::startEngineWith(etc, run, ini, o);
        port = serverPort(*engine, 1);
        ASSERT_NE(port, 0);
    }

    std::unique_ptr<FtpClient> connect() {
        auto client = std::make_unique<FtpClient>(port);
        EXPECT_EQ(client->reply(),
                  "220 XXXHOSTX FTP server (Quorvane Version 1.0 DAY MON D HH:MM:SS CDT 199X) ready.\r\n");
        return client;
    }

    std::unique_ptr<FtpClient> anonymous() {
        auto client = connect();
        EXPECT_TRUE(client->login("anonymous", "guest@example.org"));
        return client;
    }

    // Runs a transfer command over a fresh passive connection; the data
    // received and the final reply.
    std::pair<std::string, std::string> passiveTransfer(FtpClient& client, const std::string& line) {
        int data = client.passiveData();
        EXPECT_GE(data, 0) << client.lastPassive;
        std::string first = client.command(line);
        std::string bytes = test::readUntilClosed(data, 5000);
        close(data);
        if (!startsWith(first, "150")) return {bytes, first};
        return {bytes, client.reply()};
    }
};

TEST_F(FtpServer, LoginGateAndSimpleReplies) {
    start();
    auto c = connect();
    EXPECT_EQ(c->command("LIST"), "503 Login with USER first.\r\n");
    EXPECT_EQ(c->command("FOO bar"), "503 Login with USER first.\r\n");
    EXPECT_EQ(c->command("USER abcdefghijklmnop"), "500 'USER XXX': command not understood.\r\n");
    EXPECT_EQ(c->command("USER ann"), "331 password required for ann.\r\n");
    EXPECT_EQ(c->command("LIST"), "530 Please login with USER and PASS.\r\n");
    EXPECT_EQ(c->command("PASS"), "550 PASS XXX: Password Error.\r\n");
    EXPECT_EQ(c->command("PASS "), "550 PASS XXX: Password Error.\r\n");
    EXPECT_EQ(c->command("PWD"), "530 Please login with USER and PASS.\r\n");
    EXPECT_EQ(c->command("PASS wrong"), "530 Login incorrect.\r\n");
    EXPECT_EQ(c->command("PASS pw"), "230 Guest login ok, access restrictions apply.\r\n");
    EXPECT_EQ(c->command("PASS pw"), "503 Login with USER first.\r\n");
    EXPECT_EQ(c->command("FOO bar"), "500 'FOO bar': command not understood.\r\n");
    EXPECT_EQ(c->command("EPSV"), "500 'EPSV': command not understood.\r\n");
    EXPECT_EQ(c->command("EPRT |1|127.0.0.1|5000|"), "500 'EPRT |1|127.0.0.1|5000|': command not understood.\r\n");
    EXPECT_EQ(c->command("nlst"), "502 nlst command not implemented.\r\n");
    EXPECT_EQ(c->command("TYPE I"), "200 Type set to ?XXX.\r\n");
    EXPECT_EQ(c->command("NOOP"), "200 NOOP command successful.\r\n");
    EXPECT_EQ(c->command("PWD"), "257 \"/\" is current directory.\r\n");
    std::string help = c->command("HELP");
    EXPECT_TRUE(startsWith(help, "214- The following commands are recognized (* =>'s unimplemented).\r\n"));
    EXPECT_NE(help.find("   QUIT    RETR    MSOM*   RNFR    LIST    NOOP    XPWD\t\r\n214 Direct comments to "),
              std::string::npos);
    EXPECT_EQ(c->command("RETR pub/a.txt"), "550 Error Opening data connection for /bin/ls.\r\n");
    EXPECT_EQ(c->command("REIN"), "220 Service ready for new user.\r\n");
    EXPECT_EQ(c->command("PWD"), "503 Login with USER first.\r\n");
    EXPECT_EQ(c->command("USER anonymous"), "331 Guest login ok, send ident as password.\r\n");
    EXPECT_EQ(c->command("QUIT"), "221 Goodbye.\r\n");
    EXPECT_EQ(test::readUntilClosed(c->fd, 3000), "");
}

TEST_F(FtpServer, PasswordsNeverReachTheOutput) {
    test::CapturedOutput output;
    start();
    auto c = connect();
    EXPECT_EQ(c->command("USER max"), "331 password required for max.\r\n");
    EXPECT_EQ(c->command("PASS pw-1234"), "530 Login incorrect.\r\n");
    ASSERT_TRUE(c->login("ann", "pw"));
    EXPECT_EQ(c->command("PASS again-5678"), "503 Login with USER first.\r\n");
    EXPECT_TRUE(output.contains("'PASS ****'"));
    EXPECT_FALSE(output.contains("pw-1234"));
    EXPECT_FALSE(output.contains("again-5678"));
}

TEST_F(FtpServer, PassiveListingIsExactAndHidesUnsafeNames) {
    start();
    test::writeFile(site.file("pub/B file.txt"), "0123456789");
    test::writeFile(site.file("pub/.qvwork.x.1"), "half an upload");
    test::writeFile(site.file("pub/forged\r\n-rw-r--r-- x"), "");
    test::writeFile(site.file("pub/tab\tname"), "");
    mkdir(site.file("pub/sub").c_str(), 0777);
    for (const char* name : {"pub/a.txt", "pub/B file.txt", "pub/bin.dat", "pub/sub"}) stampDec6(site.file(name));
    auto c = anonymous();
    ASSERT_EQ(c->command("CWD pub"), "250 CWD command successful.\r\n");
    auto [bytes, last] = passiveTransfer(*c, "LIST");
    EXPECT_EQ(bytes,
              "total 4\r\n"
              "-rw-r--r--   1 root     system         5 Dec  6 2026  a.txt\r\n"
              "-rw-r--r--   1 root     system        10 Dec  6 2026  B file.txt\r\n"
              "-rw-r--r--   1 root     system        10 Dec  6 2026  bin.dat\r\n"
              "drw-r--r--   1 root     system         0 Dec  6 2026  sub\r\n");
    EXPECT_EQ(last, "226 Transfer complete.\r\n");
    // The server listens on every address: the 227 reply names the one the
    // client reached, never 0.0.0.0.
    EXPECT_TRUE(startsWith(c->lastPassive, "227 Entering Passive Mode (127,0,0,1,")) << c->lastPassive;

    ASSERT_EQ(c->command("CWD /empty"), "250 CWD command successful.\r\n");
    int data = c->passiveData();
    EXPECT_EQ(c->command("LIST"), "150- Quorvane Pro\r\n150 Opening data connection for /bin/ls.\r\n");
    EXPECT_EQ(test::readUntilClosed(data, 5000), "");
    close(data);
    EXPECT_EQ(c->reply(), "226 Transfer complete.\r\n");
}

TEST_F(FtpServer, RetrIsByteExactAndLogged) {
    start();
    auto c = anonymous();
    auto [bytes, last] = passiveTransfer(*c, "RETR /pub/bin.dat");
    EXPECT_EQ(bytes, std::string("\0\r\n\x7f\xff end\r", 10));
    EXPECT_EQ(last, "226 Transfer complete.\r\n");
    auto [text, done] = passiveTransfer(*c, "RETR pub\\a.txt");
    EXPECT_EQ(text, "hello");
    EXPECT_EQ(done, "226 Transfer complete.\r\n");
    // One accepted connection per PASV: the next transfer needs another.
    EXPECT_EQ(c->command("RETR pub/a.txt"), "550 Error Opening data connection for /bin/ls.\r\n");
    EXPECT_TRUE(test::eventually([&] {
        std::string log = test::readFile(logs.file("qvx.log"));
        return log.find("\"/pub/bin.dat\" 200 ") != std::string::npos &&
               log.find("\"/pub/a.txt\" 200 ") != std::string::npos;
    }));
}

TEST_F(FtpServer, MissingThingsAreRefused) {
    start();
    auto c = anonymous();
    EXPECT_EQ(c->command("SIZE pub/a.txt"), "213 5\r\n");
    EXPECT_EQ(c->command("SIZE pub/none.txt"), "550 xxx: Size <= 0.\r\n");
    EXPECT_EQ(c->command("SIZE pub"), "550 xxx: Size <= 0.\r\n");
    EXPECT_EQ(c->command("SIZE"), "500 SIZE: Missing filename parameter.\r\n");
    EXPECT_EQ(c->command("SIZE " + std::string(260, 'x')), "500 SIZE " + std::string(260, 'x') +
                                                                ": Filename parameter too long.\r\n");
    EXPECT_EQ(c->command("CWD nothere"), "550 nothere: No such directory.\r\n");
    EXPECT_EQ(c->command("CWD pub/a.txt"), "550 pub/a.txt: No such directory.\r\n");
    EXPECT_EQ(c->command("PWD"), "257 \"/\" is current directory.\r\n");
    int data = c->passiveData();
    // Refused before any 150, so the client never waits on its data socket.
    EXPECT_EQ(c->command("RETR pub/none.txt"), "550 xxx: Size < 0.\r\n");
    EXPECT_EQ(c->command("RETR pub"), "550 xxx: Size < 0.\r\n");
    close(data);
}

TEST_F(FtpServer, SizesAreSixtyFourBit) {
    start();
    int fd = open(site.file("pub/big.iso").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(ftruncate(fd, 5368709120LL), 0);
    close(fd);
    auto c = anonymous();
    EXPECT_EQ(c->command("SIZE pub/big.iso"), "213 5368709120\r\n");
}

TEST_F(FtpServer, PathResolution) {
    start();
    test::writeFile(site.file("pub/a b.txt"), "blank");
    auto c = anonymous();
    EXPECT_EQ(c->command("CDUP"), "250 CWD command successful.\r\n");
    EXPECT_EQ(c->command("PWD"), "257 \"/\" is current directory.\r\n");
    EXPECT_EQ(c->command("SIZE pub/a b.txt"), "213 5\r\n");
    EXPECT_EQ(c->command("SIZE pub/x/../a.txt"), "500 SIZE pub/x/../a.txt: Access error.\r\n");
    EXPECT_EQ(c->command("CWD \\pub\\"), "250 CWD command successful.\r\n");
    EXPECT_EQ(c->command("PWD"), "257 \"/pub/\" is current directory.\r\n");
    EXPECT_EQ(c->command("CWD"), "250 CWD command successful.\r\n");
    EXPECT_EQ(c->command("PWD"), "257 \"/\" is current directory.\r\n");
}

TEST_F(FtpServer, RestrictedHomeCompareWholeComponents) {
    start();
    mkdir(site.file("users/max/pub").c_str(), 0777);
    auto c = connect();
    ASSERT_TRUE(c->login("max", "secret"));
    EXPECT_EQ(c->command("PWD"), "257 \"/users/max\" is current directory.\r\n");
    EXPECT_EQ(c->command("CWD /pub"), "250 CWD command successful.\r\n");
    EXPECT_EQ(c->command("PWD"), "257 \"/users/max/pub\" is current directory.\r\n");
    // "/users/maxine" is not inside "/users/max": it is taken as relative
    // to the home, where there is no such folder.
    EXPECT_EQ(c->command("SIZE /users/maxine/secret.txt"), "550 xxx: Size <= 0.\r\n");
    EXPECT_EQ(c->command("CWD /users/maxine"), "550 /users/maxine: No such directory.\r\n");
    EXPECT_EQ(c->command("CWD /u"), "550 /u: No such directory.\r\n");
    // Folders above the home may be reached by CWD and CDUP (and listed),
    // and nothing else there.
    EXPECT_EQ(c->command("CWD /users/max"), "250 CWD command successful.\r\n");
    EXPECT_EQ(c->command("CDUP"), "250 CWD command successful.\r\n");
    EXPECT_EQ(c->command("PWD"), "257 \"/users\" is current directory.\r\n");
    EXPECT_EQ(c->command("SIZE maxine/secret.txt"), "550 xxx: Size <= 0.\r\n");
    EXPECT_EQ(c->command("CWD maxine"), "550 maxine: No such directory.\r\n");
    EXPECT_EQ(c->command("CDUP"), "250 CWD command successful.\r\n");
    EXPECT_EQ(c->command("PWD"), "257 \"/users/max\" is current directory.\r\n");
    EXPECT_EQ(c->command("SIZE mine.txt"), "213 5\r\n");
}

TEST_F(FtpServer, PortOnlyToTheControlPeer) {
    start();
    auto c = anonymous();
    EXPECT_EQ(c->command("PORT 10,1,2,3,4,1"), "500 Illegal PORT command.\r\n");
    EXPECT_EQ(c->command("PORT 127,0,0,1,0,21"), "500 Illegal PORT command.\r\n");
    EXPECT_EQ(c->command("PORT 127,0,0,1,4"), "500 Illegal PORT command.\r\n");
    EXPECT_EQ(c->command("PORT 127,0,0,1,4,x"), "500 Illegal PORT command.\r\n");
    EXPECT_EQ(c->command("RETR pub/a.txt"), "550 Error Opening data connection for /bin/ls.\r\n");

    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    int dataPort = test::localPort(listener);
    ASSERT_GE(dataPort, 1024);
    // PORT replaces an earlier PASV: its listener is closed.
    int passive = test::passivePort(c->command("PASV"));
    ASSERT_NE(passive, 0);
    EXPECT_EQ(c->command("PORT 127,0,0,1," + std::to_string(dataPort / 256) + "," + std::to_string(dataPort % 256)),
              "200 Okay\r\n");
    EXPECT_EQ(test::connectFrom("127.0.0.1", passive), -1);
    EXPECT_EQ(c->command("RETR pub/a.txt"), "150 Opening data connection for XXX (XXX bytes).\r\n");
    int data = accept(listener, nullptr, nullptr);
    EXPECT_EQ(test::readUntilClosed(data, 5000), "hello");
    EXPECT_EQ(c->reply(), "226 Transfer complete.\r\n");
    close(data);
    close(listener);
    // With the listener gone, the connection out fails.
    EXPECT_EQ(c->command("RETR pub/a.txt"), "150 Opening data connection for XXX (XXX bytes).\r\n");
    EXPECT_EQ(c->reply(), "550 Error connecting to port.\r\n");
    // PASV replaces PORT, and a second PASV the first one's listener.
    int first = test::passivePort(c->command("PASV"));
    auto [bytes, last] = passiveTransfer(*c, "RETR pub/a.txt");
    EXPECT_EQ(bytes, "hello");
    EXPECT_EQ(last, "226 Transfer complete.\r\n");
    EXPECT_EQ(test::connectFrom("127.0.0.1", first), -1);
}

TEST_F(FtpServer, PassiveTakesOnlyTheControlPeer) {
    start();
    auto c = anonymous();
    int passive = test::passivePort(c->command("PASV"));
    ASSERT_NE(passive, 0);
    int stranger = test::connectFrom("127.0.0.2", passive);
    ASSERT_GE(stranger, 0);
    c->send("RETR pub/a.txt");
    EXPECT_EQ(c->reply(), "150 Opening data connection for XXX (XXX bytes).\r\n");
    // The stranger is dropped without a byte; the client's own connection
    // still gets the file.
    EXPECT_EQ(test::readUntilClosed(stranger, 5000), "");
    int data = test::connectFrom("127.0.0.1", passive);
    EXPECT_EQ(test::readUntilClosed(data, 5000), "hello");
    EXPECT_EQ(c->reply(), "226 Transfer complete.\r\n");
    close(stranger);
    close(data);
}

TEST_F(FtpServer, UnconnectedPassiveIsBounded) {
    start();
    auto c = anonymous();
    ASSERT_NE(test::passivePort(c->command("PASV")), 0);
    auto before = Clock::now();
    EXPECT_EQ(c->command("RETR pub/a.txt"), "150 Opening data connection for XXX (XXX bytes).\r\n");
    EXPECT_EQ(c->reply(), "425 Can't open data connection.\r\n");
    EXPECT_LT(Clock::now() - before, kDataTimeout + std::chrono::seconds(3));
    EXPECT_GE(Clock::now() - before, kDataTimeout - std::chrono::milliseconds(100));

    // A session that ends never waits for a data connection.
    ASSERT_NE(test::passivePort(c->command("PASV")), 0);
    before = Clock::now();
    EXPECT_EQ(c->command("QUIT"), "221 Goodbye.\r\n");
    EXPECT_EQ(test::readUntilClosed(c->fd, 3000), "");
    EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(1000));
    EXPECT_TRUE(test::eventually([&] { return engine->openConnections == 0; }));
}

TEST_F(FtpServer, WelcomeFileLinesEndInCrLf) {
    start();
    test::writeFile(site.file("qvheader.ftp"), "Hello\nthere\r\nlast");
    test::writeFile(site.file("pub/qvheader.ftp"), "Pub folder");
    auto c = connect();
    EXPECT_EQ(c->command("USER anonymous"), "331 Guest login ok, send ident as password.\r\n");
    EXPECT_EQ(c->command("PASS me"),
              "230-Hello\r\n230-there\r\n230-last\r\n230 Guest login ok, access restrictions apply.\r\n");
    EXPECT_EQ(c->command("CWD pub"), "250-Pub folder\r\n250 CWD command successful.\r\n");
}

void makeLargeFile(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(ftruncate(fd, 64 << 20), 0);
    close(fd);
}

TEST_F(FtpServer, ABrokenDownloadIsNotReportedComplete) {
    start();
    makeLargeFile(site.file("pub/large.bin"));
    auto c = anonymous();
    int data = c->passiveData();
    EXPECT_EQ(c->command("RETR pub/large.bin"), "150 Opening data connection for XXX (XXX bytes).\r\n");
    char some[1024];
    EXPECT_GT(recv(data, some, sizeof some, 0), 0);
    test::resetAndClose(data);
    EXPECT_EQ(c->reply(), "426 Connection closed; transfer aborted.\r\n");
    EXPECT_EQ(c->command("NOOP"), "200 NOOP command successful.\r\n");
}

TEST_F(FtpServer, StopDuringAStalledTransferReturnsPromptly) {
    start();
    makeLargeFile(site.file("pub/large.bin"));
    auto c = anonymous();
    int data = c->passiveData();
    int small = 4096;
    setsockopt(data, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    EXPECT_EQ(c->command("RETR pub/large.bin"), "150 Opening data connection for XXX (XXX bytes).\r\n");
    test::sleepMs(300);  // the server's sends have filled the socket by now
    auto before = Clock::now();
    stopServers(*engine);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(3));
    close(data);
}


// Sessions on their own threads, each downloading, listing and uploading
// at once (the ThreadSanitizer stage runs this too).
TEST_F(FtpServer, ConcurrentSessionsWithTransfers) {
    start();
    std::atomic<int> good {0};
    std::vector<std::thread> sessions;
    for (int i = 0; i < 8; ++i) {
        sessions.emplace_back([&, i] {
            auto c = std::make_unique<FtpClient>(port);
            c->reply();
            if (!c->login("max", "secret")) return;
            const std::string name = "up" + std::to_string(i) + ".txt";
            const std::string content(1000 + i, static_cast<char>('a' + i));
            int data = c->passiveData();
            if (!startsWith(c->command("STOR " + name), "150")) return;
            test::sendText(data, content);
            close(data);
            if (c->reply() != "226 Transfer complete.\r\n") return;
            for (int round = 0; round < 5; ++round) {
                auto [bytes, last] = passiveTransfer(*c, "RETR " + name);
                auto [listing, done] = passiveTransfer(*c, "LIST");
                if (bytes != content || listing.find(name) == std::string::npos) return;
            }
            ++good;
        });
    }
    for (auto& s : sessions) s.join();
    EXPECT_EQ(good.load(), 8);
}

}  // namespace
}  // namespace qv
