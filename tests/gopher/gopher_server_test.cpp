// The Gopher server on loopback: an engine started in-process on port 0
// with a site of the test's own; every request is one line, every answer
// read until the server closes, every wait bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine/core/engine.h"
#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

constexpr int kReadMs = 5000;

bool has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

int countOf(const std::string& text, const std::string& piece) {
    int n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

struct GopherServer : ::testing::Test {
    test::TempFolder etc, run, site, other, logs;
    EnginePtr engine;
    int port = 0;

    void SetUp() override {
        for (const char* folder : {"docs", "docs/music", "empty", "private", "masked", "cgi"})
            mkdir(site.file(folder).c_str(), 0777);
        test::writeFile(site.file("Zebra.txt"), "z");
        test::writeFile(site.file("apple.txt"), std::string(1023, 'a'));
        test::writeFile(site.file("Banana.gif"), std::string("GIF89a\0\r\n\x01\xff", 11));
        test::writeFile(site.file("docs/Read me now.txt"), "a name with blanks\r\n");
        test::writeFile(site.file("docs/kilo.txt"), std::string(1024, 'k'));
        test::writeFile(site.file("docs/forged\t0x\t/etc/passwd.txt"), "never listed");
        test::writeFile(site.file("docs/access.qac"), "[Description]\nmusic=Songs\tfor\rthe road\n"
                                                      "kilo.txt=One kilobyte of k\n");
        test::writeFile(site.file("private/secret.txt"), "owned");
        test::writeFile(site.file("masked/hidden.txt"), "masked");
        test::writeFile(site.file("cgi/run.pl"), "print 'source';\n");
        test::writeFile(site.file("cgi/readme.txt"), "served");
        test::writeFile(other.file("own.txt"), "the second server's root");
    }

    // `options` go into [Options]; `multi` adds servers after the first.
    void start(const std::string& options = "hostname=gopher.example\n", const std::string& multi = "") {
        const std::string ini =
            "[Options]\nlogdir=" + logs.path() + "/\ngopherdir=" + other.path() + "/\n" + options +
            "[Logging]\nenable_files=1\naccess_file=1\nextended=1\nextended_server=1\n"
            "[Extensions]\nMap1=TXT 0 text/plain\nMap2=GIF I image/gif\n"
            "[Host Restrictions]\ninside=10.1.2.3\n"
            "[Aliases]\nAlias1=/private " + site.path() + "/private/ demo anywhere\n"
            "Alias2=/masked " + site.path() + "/masked/ Anybody inside\n"
            "Alias3=/cgi " + site.path() + "/cgi/ Anybody anywhere c\n"
            "[Users]\nUser1=demo demo\n"
            "[Multi]\nserver1=gopher\nip1=127.0.0.1\nport1=0\ndir1=" + site.path() + "/\n" + multi +
            "server9=none\n";
        engine = test::startEngine(etc, run, ini);
        port = serverPort(*engine, 1);
        ASSERT_NE(port, 0);
    }

    std::string ask(const std::string& line, int server = 1) {
        int fd = test::connectLoopback(server == 1 ? port : serverPort(*engine, server));
        EXPECT_GE(fd, 0);
        EXPECT_TRUE(test::sendText(fd, line + "\r\n"));
        std::string reply = test::readUntilClosed(fd, kReadMs);
        close(fd);
        return reply;
    }

    // Waits for the access log to hold `lines` lines and returns it.
    std::string accessLog(int lines) {
        std::string log;
        test::eventually([&] { return countOf(log = test::readFile(logs.file("qvx.log")), "\r\n") >= lines; });
        return log;
    }
};

TEST_F(GopherServer, RootMenuSortedWithTheClosingDot) {
    start();
    const std::string menu = ask("");
    const std::string place = "\tgopher.example\t" + std::to_string(port);
    std::vector<std::string> selectors;
    std::size_t at = 0;
    for (std::size_t end; (end = menu.find("\r\n", at)) != std::string::npos && menu.compare(at, 3, ".\r\n") != 0;
         at = end + 2) {
        const std::string line = menu.substr(at, end - at);
        const std::size_t tab = line.find('\t');
        EXPECT_TRUE(line.ends_with(place)) << line;
        selectors.push_back(line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1));
    }
    EXPECT_EQ(menu.substr(at), ".\r\n");
    // Sorted without regard to case; folders among the files.
    EXPECT_EQ(selectors, (std::vector<std::string> {"0/apple.txt", "I/Banana.gif", "1/cgi", "1/docs", "1/empty",
                                                   "1/masked", "1/private", "0/Zebra.txt"}));
    EXPECT_TRUE(has(menu, "0   apple.txt 1023 B  ")) << menu;
    EXPECT_TRUE(has(menu, "1docs/\t1/docs\t")) << menu;
    // "1" and "1/" name the same menu as the empty line.
    EXPECT_EQ(ask("1"), menu);
    EXPECT_EQ(ask("1/"), menu);
}

TEST_F(GopherServer, SubfolderMenuWithDescriptionsAndNamesWithBlanks) {
    start();
    std::string menu = ask("1/docs");
    const std::string tail = "\tgopher.example\t" + std::to_string(port) + "\r\n";
    EXPECT_TRUE(has(menu, "    kilo.txt    1 kB ")) << menu;
    EXPECT_TRUE(has(menu, ": One kilobyte of k\t0/docs/kilo.txt" + tail)) << menu;
    EXPECT_TRUE(has(menu, "1music/: Songs for the road\t1/docs/music" + tail)) << menu;
    EXPECT_TRUE(has(menu, "0Read me now.txt   20 B ")) << menu;
    EXPECT_TRUE(has(menu, "\t0/docs/Read me now.txt" + tail)) << menu;
    // A name holding TAB would forge fields of its own: it is left out.
    EXPECT_FALSE(has(menu, "forged")) << menu;
    EXPECT_EQ(countOf(menu, "\r\n"), 5);  // access.qac, kilo, music, Read me, "."
    EXPECT_TRUE(menu.ends_with("\r\n.\r\n"));
    // A backslash is a separator, and a Gopher+ marker after a TAB is dropped.
    EXPECT_EQ(ask("1\\docs\t$"), menu);
}

TEST_F(GopherServer, FilesAreSentByteForByte) {
    start();
    EXPECT_EQ(ask("I/Banana.gif"), test::readFile(site.file("Banana.gif")));
    EXPECT_EQ(ask("0/docs/Read me now.txt"), "a name with blanks\r\n");
    EXPECT_EQ(ask("0/cgi/readme.txt"), "served");  // a plain file under a programs alias
    std::string log = accessLog(3);
    EXPECT_TRUE(has(log, "\"/Banana.gif\" 200 11\r\n")) << log;
    EXPECT_TRUE(has(log, "\"/docs/Read me now.txt\" 200 20\r\n")) << log;
}

TEST_F(GopherServer, WhatCannotBeServedClosesEmptyAndIsStillLogged) {
    start();
    const char* refused[] = {
        "0/docs/../../etc/passwd",  // ".."
        "0/private/secret.txt",     // an alias with an owner: no login in Gopher
        "1/private",
        "0/masked/hidden.txt",      // a host mask refuses every Gopher client
        "0/cgi/run.pl",             // a program's source
        "0/missing.txt",
        "1/empty",                  // an empty folder: not even the closing "."
        "1/apple.txt",              // a file asked for as a menu
        "0/docs",                   // a folder asked for as a file
        "0/lpt1",
    };
    for (const char* line : refused) EXPECT_EQ(ask(line), "") << line;
    std::string log = accessLog(10);
    EXPECT_EQ(countOf(log, "\r\n"), 10) << log;
    EXPECT_TRUE(has(log, "\"Root\" 200 0\r\n")) << log;  // refused by the mapping: no path recorded
    EXPECT_TRUE(has(log, "\"/cgi/run.pl\" 200 0\r\n")) << log;
    std::string extended;
    test::eventually([&] { return countOf(extended = test::readFile(logs.file("qvxp.log")), "\r\n") >= 10; });
    EXPECT_EQ(countOf(extended, "{server gopher}"), 10) << extended;
    EXPECT_TRUE(has(extended, "{method 0/private/secret.txt}")) << extended;
}

TEST_F(GopherServer, SilentAndOverlongRequestsEndWithoutReply) {
    start("hostname=gopher.example\ngopher_read_timeout=1\n");
    int fd = test::connectLoopback(port);
    ASSERT_GE(fd, 0);
    auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(test::readUntilClosed(fd, kReadMs), "");
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(4));
    close(fd);
    // 511 characters are a request; one more is refused unread.
    test::CapturedOutput output;
    EXPECT_EQ(ask("1/" + std::string(509, 'x')), "");
    EXPECT_FALSE(output.contains("too long"));
    EXPECT_EQ(ask("1/" + std::string(510, 'x') + std::string(4000, 'y')), "");
    EXPECT_TRUE(output.contains("Gopher request line too long"));
    EXPECT_EQ(countOf(accessLog(3), "\r\n"), 3);
}

// One thread per connection and nothing shared but the logs: concurrent
// clients each get their own answer, and every request its log line.
TEST_F(GopherServer, ConcurrentClientsEachGetTheirOwnAnswer) {
    start();
    const std::string menu = ask("1/docs");
    const std::string picture = test::readFile(site.file("Banana.gif"));
    constexpr int kClients = 8, kRequests = 10;
    std::atomic<int> wrong {0};
    std::vector<std::thread> clients;
    for (int n = 0; n < kClients; ++n)
        clients.emplace_back([&, n] {
            for (int i = 0; i < kRequests; ++i) {
                bool wantsMenu = (n + i) % 2 == 0;
                if (ask(wantsMenu ? "1/docs" : "I/Banana.gif") != (wantsMenu ? menu : picture)) ++wrong;
            }
        });
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(countOf(accessLog(1 + kClients * kRequests), "\r\n"), 1 + kClients * kRequests);
}

// Each Gopher server's root is its own folder, and without a configured
// host name the menus name the address the client reached.
TEST_F(GopherServer, SecondServerHasItsOwnRootAndAddressAsHost) {
    start("", "server2=gopher\nip2=127.0.0.1\nport2=0\ndir2=" + other.path() + "/\n");
    const std::string second = std::to_string(serverPort(*engine, 2));
    std::string menu = ask("", 2);
    EXPECT_TRUE(menu.starts_with("0     own.txt   24 B  ")) << menu;
    EXPECT_TRUE(menu.ends_with("\t0/own.txt\t127.0.0.1\t" + second + "\r\n.\r\n")) << menu;
    EXPECT_EQ(countOf(menu, "\r\n"), 2) << menu;
    EXPECT_EQ(ask("0/own.txt", 2), "the second server's root");
    EXPECT_TRUE(has(ask(""), "\t0/Zebra.txt\t127.0.0.1\t" + std::to_string(port) + "\r\n"));
}

}  // namespace
}  // namespace qv
