// Extension libraries loaded by a real engine: server variables, the
// reply, and faults inside an extension caught while the server goes on.
//
// The faults are the guard's to catch, so AddressSanitizer's own handling
// of SIGSEGV, SIGBUS, SIGFPE and SIGILL is switched off for this test
// program by the default options below (ASAN_OPTIONS from the environment
// is added to them).  A fault outside an extension call then takes the
// default action: the test dies, as it should.  scripts/test also runs
// these tests in a build without sanitizers.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tests/support/net.h"
#include "tests/support/test_support.h"

extern "C" const char* __asan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0";
}

namespace qv {
namespace {

namespace fs = std::filesystem;

struct Extensions : ::testing::Test {
    test::TempFolder etc, run, site;
    test::CapturedOutput output;
    EnginePtr engine;
    int port = 0;

    void SetUp() override {
        fs::create_directories(site.file("cgi"));
        fs::create_directories(site.file("www"));
        fs::copy_file(QV_TEST_EXTENSION_PATH, site.file("cgi/test.dll"));
        fs::copy_file(QV_TEST_EXTENSION_PATH, site.file("cgi/test.isa"));
        test::writeFile(site.file("cgi/broken.dll"), "not a library\n");
        test::writeFile(site.file("www/page.htm"),
                        "<p>\n<!--#exec cgi=\"" + site.file("cgi/test.dll") + "?vars\"-->\n</p>\n");
        engine = test::startEngine(etc, run,
                                   "[Options]\nhostname=testhost\nkeep_alive=1\n[Extensions]\nMap1=HTM h text/html\n[Aliases]\n"
                                   "Alias1=/cgi-bin " + site.file("cgi") + "/ Anybody anywhere c\n"
                                   "[Multi]\nserver1=httpd\nport1=0\ndir1=" + site.file("www") + "/\nserver2=none\n");
        port = serverPort(*engine, 1);
        ASSERT_GT(port, 0);
    }
    std::string ask(const std::string& request) const {
        int fd = test::connectLoopback(port);
        test::sendText(fd, request);
        std::string reply = test::readUntilClosed(fd, 10000);
        close(fd);
        return reply;
    }
    std::string get(const std::string& url) const { return ask("GET " + url + " HTTP/1.0\r\n\r\n"); }
    static std::string body(const std::string& reply) { return reply.substr(reply.find("\r\n\r\n") + 4); }
};

TEST_F(Extensions, ServerVariablesTellTheSizeTheyNeed) {
    std::string reply = get("/cgi-bin/test.dll/a/b?vars");
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << reply;
    // The extension's own type replaces the server's text/html.
    EXPECT_NE(reply.find("MIME-version: 1.0\r\ncontent-length: 367\r\nContent-Type: text/plain\r\n\r\n"),
              std::string::npos) << reply;
    std::string head = ask("HEAD /cgi-bin/test.dll HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(head.ends_with("content-length: 5\r\nContent-Type: text/plain\r\n\r\n")) << head;
    EXPECT_EQ(body(reply),
              "REMOTE_ADDR=127.0.0.1 first=0 error=122 needed=10 tooSmall=0 got=1\n"
              "SERVER_NAME=testhost first=0 error=122 needed=9 tooSmall=0 got=1\n"
              "HTTP_ACCEPT= first=0 error=122 needed=1 tooSmall=0 got=1\n"
              "REMOTE_USER= first=0 error=122 needed=1 tooSmall=0 got=1\n"
              "QUERY_STRING=vars first=0 error=122 needed=5 tooSmall=0 got=1\n"
              "PATH_INFO=/a/b first=0 error=122 needed=5 tooSmall=0 got=1\n");
}

TEST_F(Extensions, StatusBodyKeepAliveAndPagesAndLoadFailures) {
    std::string moved = get("/cgi-bin/test.isa?status");
    EXPECT_EQ(moved.rfind("HTTP/1.0 302 Found\r\n", 0), 0u) << moved;
    EXPECT_NE(moved.find("\r\nLocation: /moved.htm\r\n\r\n"), std::string::npos) << moved;

    std::string posted = ask("POST /cgi-bin/test.dll?post HTTP/1.0\r\nContent-Length: 7\r\n\r\na=1&b=2");
    EXPECT_EQ(body(posted), "total=7 available=7 read=1:0\na=1&b=2");
    EXPECT_TRUE(output.contains("zReadClient\r\n"));

    int fd = test::connectLoopback(port);
    const std::string again = "GET /cgi-bin/test.dll HTTP/1.0\r\nConnection: keep-alive\r\n\r\n";
    test::sendText(fd, again);
    test::sendText(fd, again);
    std::string both;
    ASSERT_TRUE(test::eventually([&] {
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) both.append(buf, static_cast<std::size_t>(n));
        return both.find("hello") != both.rfind("hello");
    }));
    close(fd);

    EXPECT_NE(body(get("/page.htm")).find("<p>\nREMOTE_ADDR=127.0.0.1 "), std::string::npos);
    EXPECT_EQ(get("/cgi-bin/missing.dll").rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(get("/cgi-bin/broken.dll").rfind("HTTP/1.0 500", 0), 0u);
    EXPECT_TRUE(output.contains("Error loading dll.\r\n"));
}

TEST_F(Extensions, FaultsAreReportedAndTheServerGoesOn) {
    const std::string line = "\r\n**ISAPI Program '" + site.file("cgi/test.dll") + "' caused the following exception:\r\n";
    for (int round = 0; round < 2; ++round) {
        std::string crashed = get("/cgi-bin/test.dll?crash");
        EXPECT_EQ(crashed.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << crashed;
        EXPECT_EQ(body(crashed), "partial");
        EXPECT_EQ(body(get("/cgi-bin/test.dll")), "hello");
    }
    EXPECT_EQ(output.count(line + " (c0000005) ACCESS_VIOLATION\r\n"), 2);

    EXPECT_EQ(get("/cgi-bin/test.dll?recurse"), "deep");
    EXPECT_EQ(get("/cgi-bin/test.dll?fpe").rfind("HTTP/1.0 500", 0), 0u);
    EXPECT_TRUE(output.contains(line + " (c0000094) \r\n"));
    EXPECT_EQ(output.count("(c0000005) ACCESS_VIOLATION"), 3);
    EXPECT_EQ(body(get("/cgi-bin/test.dll")), "hello");
}

TEST_F(Extensions, SixteenClientsAtOnce) {
    std::vector<std::thread> clients;
    std::atomic<int> answered {0};
    for (int i = 0; i < 16; ++i)
        clients.emplace_back([&] {
            for (int j = 0; j < 10; ++j)
                if (body(get("/cgi-bin/test.dll")) == "hello") ++answered;
        });
    for (auto& t : clients) t.join();
    EXPECT_EQ(answered.load(), 160);
}

}  // namespace
}  // namespace qv
