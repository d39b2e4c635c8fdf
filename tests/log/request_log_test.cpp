// The request logs: their lines byte for byte, what the HTTP server logs,
// and rotation, also while requests are being logged.
#include "engine/log/request_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "engine/core/engine.h"
#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

// Sun Dec  6 19:14:54 2026 UTC
constexpr std::time_t kStart = 1796584494;

struct ZoneScope {
    std::string old;
    explicit ZoneScope(const char* zone) {
        if (const char* tz = std::getenv("TZ")) old = tz;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (old.empty())
            unsetenv("TZ");
        else
            setenv("TZ", old.c_str(), 1);
        tzset();
    }
};

struct LogLines : ::testing::Test {
    test::TempFolder folder;
    std::shared_ptr<const Settings> settings(const std::string& options, const std::string& logging = "") {
        test::writeFile(folder.file("quorvane.ini"), "[Options]\n" + options + "\n[Logging]\n" + logging + "\n");
        return readSettings(folder.file("quorvane.ini"));
    }
    LoggedRequest request(const std::string& url) {
        LoggedRequest r;
        r.start = kStart;
        r.method = "GET";
        r.url = url;
        r.counterKey = url;
        r.status = 200;
        r.bytes = 1164;
        return r;
    }
    LoggedPeer peer {"10.1.2.3", "host.example", 1, 5000};
};

TEST_F(LogLines, AccessLineInTheMachinesZone) {
    auto s = settings("logany=1");
    {
        ZoneScope utc("UTC0");
        EXPECT_EQ(accessLogLine(*s, request("/index.html"), peer),
                  "10.1.2.3 - - [6/Dec/2026:19:14:54 +0000] \"/index.html\" 200 1164\r\n");
    }
    {
        ZoneScope west("XST8");  // eight hours behind UTC
        LoggedRequest r = request("");
        r.user = "ann";
        r.status = 404;
        EXPECT_EQ(accessLogLine(*s, r, peer), "10.1.2.3 - ann [6/Dec/2026:11:14:54 -0800] \"Root\" 404 1164\r\n");
    }
    ZoneScope east("XST-5:30");
    EXPECT_EQ(zoneOffsetText(kStart), "+0530");
    EXPECT_EQ(accessLogLine(*settings("logany=0"), request("/x"), peer), "");
}

TEST_F(LogLines, SearchStringsAndUnsafeBytesInTheUrl) {
    ZoneScope utc("UTC0");
    auto url = [&](const std::string& options, const std::string& text) {
        std::string line = accessLogLine(*settings(options), request(text), peer);
        std::size_t open = line.find('"');
        return line.substr(open + 1, line.rfind('"') - open - 1);
    };
    EXPECT_EQ(url("logsearchstring=0", "/cgi/find?x=1"), "/cgi/find");
    EXPECT_EQ(url("logsearchstring=1", "/cgi/find?x=1"), "/cgi/find?x=1");
    EXPECT_EQ(url("logsearchstring=0", "a?b c?d"), "a c");
    EXPECT_EQ(url("", "/a\r\nforged \"line\"\x7F"), "/a%0D%0Aforged %22line%22%7F");
    EXPECT_EQ(url("logsearchstring=1", "/" + std::string(300, 'u')).size(), 255u);

    LoggedRequest r = request("/p");
    r.userAgent = "Agent\n1";
    r.referer = "http://x/\r";
    EXPECT_EQ(agentLogLine(r), "Agent%0A1\r\n");
    EXPECT_EQ(refererLogLine(r), "http://x/%0D --> /p\r\n");
    r.userAgent.clear();
    r.referer.clear();
    EXPECT_EQ(agentLogLine(r), "");
    EXPECT_EQ(refererLogLine(r), "");
}

TEST_F(LogLines, ExtendedLineWithItsSwitches) {
    LoggedRequest r = request("");
    r.method.clear();
    r.counterKey.clear();
    EXPECT_EQ(extendedLogLine(*settings(""), r, peer, kStart + 2),
              "log {start 1796584494} {method UNKNOWN} {url /} {bytes 5000} {host host.example} {end 1796584496}\r\n");
    r = request("/a.htm");
    r.userAgent = "curl/8";
    r.referer = "http://r/";
    LoggedPeer ftp = peer;
    ftp.serverKind = 2;
    EXPECT_EQ(extendedLogLine(*settings("", "extended_server=1\nextended_agent=1\nextended_referer=1"), r, ftp, kStart),
              "log {start 1796584494} {method GET} {server ftp} {url /a.htm} {bytes 5000} {host host.example} "
              "{agent curl/8} {referer http://r/} {end 1796584494}\r\n");
}

int countLines(const std::string& path) {
    std::ifstream in(path);
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.size() > 1 && line.back() == '\r';
    return n;
}

struct ServedLogs : ::testing::Test {
    test::TempFolder etc, run, site, logs;
    EnginePtr engine;
    int port = 0;

    void start(const std::string& logging) {
        test::writeFile(site.file("a.txt"), "hello\n");
        engine = test::startEngine(etc, run,
                                   "[Options]\nkeep_alive=1\nlogdir=" + logs.path() + "/\n[Logging]\n" + logging +
                                       "\n[Extensions]\nMap1=TXT 0 text/plain\n[Multi]\nserver1=httpd\nport1=0\n"
                                       "dir1=" + site.path() + "/\nserver2=none\n");
        port = serverPort(*engine, 1);
    }
    std::string get(const std::string& request) {
        int fd = test::connectLoopback(port);
        test::sendText(fd, request);
        std::string reply = test::readUntilClosed(fd, 5000);
        close(fd);
        return reply;
    }
};

TEST_F(ServedLogs, EveryRequestWithALineAndNothingElse) {
    start("enable_files=1\naccess_file=1\nagent_file=1\nreferer_file=1\nextended=1");
    std::string reply = get("GET /a.txt HTTP/1.0\r\nUser-Agent: curl/8\r\nReferer: http://r/\r\n\r\n");
    get("GET /missing.txt HTTP/1.0\r\n\r\n");
    // Two requests on one kept connection, then it ends: two lines.
    int fd = test::connectLoopback(port);
    test::sendText(fd, "GET /a.txt HTTP/1.0\r\nConnection: keep-alive\r\n\r\nGET /a.txt HTTP/1.0\r\n\r\n");
    test::readUntilClosed(fd, 5000);
    close(fd);
    // A connection that sends nothing but an empty line, or nothing at all.
    close(test::connectLoopback(port));
    get("\r\n");
    ASSERT_TRUE(test::eventually([&] { return engine->openConnections == 0; }));

    std::string access = test::readFile(logs.file("qvx.log"));
    EXPECT_EQ(countLines(logs.file("qvx.log")), 4) << access;
    EXPECT_NE(access.find("\"/a.txt\" 200 " + std::to_string(reply.size()) + "\r\n"), std::string::npos) << access;
    EXPECT_NE(access.find("\"/missing.txt\" 404 "), std::string::npos);
    EXPECT_EQ(access.rfind("127.0.0.1 - - [", 0), 0u);
    EXPECT_EQ(test::readFile(logs.file("agent.log")), "curl/8\r\n");
    EXPECT_EQ(test::readFile(logs.file("referer.log")), "http://r/ --> /a.txt\r\n");
    EXPECT_EQ(countLines(logs.file("qvxp.log")), 4);
}

TEST_F(ServedLogs, SwitchedOffFilesStayUnwritten) {
    start("enable_files=0\naccess_file=1\nextended=1");
    get("GET /a.txt HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(test::eventually([&] { return countLines(logs.file("qvxp.log")) == 1; }));
    EXPECT_FALSE(std::filesystem::exists(logs.file("qvx.log")));
}

// Every line lands in one generation or another, whole, however the
// rotations and the requests interleave.
TEST_F(ServedLogs, RotationUnderLoadLosesNoLine) {
    start("enable_files=1\naccess_file=1");
    constexpr int kClients = 4, kRequests = 60;
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&] {
            for (int j = 0; j < kRequests; ++j) get("GET /a.txt HTTP/1.0\r\n\r\n");
        });
    for (int n = 0; n < 10; ++n) {
        CycleLogs(*engine, logs.path() + "/", "qvx", "log");
        test::sleepMs(5);
    }
    for (auto& t : clients) t.join();
    ASSERT_TRUE(test::eventually([&] { return engine->openConnections == 0; }));
    int lines = 0;
    for (const auto& entry : std::filesystem::directory_iterator(logs.path())) {
        if (entry.path().extension() != ".log") continue;  // the hit counts live here too
        std::string text = test::readFile(entry.path());
        for (std::size_t at = 0; (at = text.find("127.0.0.1 - - [", at)) != std::string::npos; ++at) ++lines;
        EXPECT_EQ(countLines(entry.path()) , static_cast<int>(std::count(text.begin(), text.end(), '\n')));
    }
    EXPECT_EQ(lines, kClients * kRequests);
}

// Two engines append to one log: each line goes out whole, none is lost.
TEST_F(ServedLogs, TwoEnginesShareOneLog) {
    start("enable_files=1\naccess_file=1");
    test::TempFolder etc2, run2;
    auto second = test::startEngine(etc2, run2,
                                    "[Options]\nlogdir=" + logs.path() + "/\n[Logging]\nenable_files=1\naccess_file=1\n"
                                    "[Multi]\nserver1=httpd\nport1=0\ndir1=" + site.path() + "/\nserver2=none\n");
    const int ports[] = {port, serverPort(*second, 1)};
    constexpr int kRequests = 100;
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([&, i] {
            for (int j = 0; j < kRequests; ++j) {
                int fd = test::connectLoopback(ports[i % 2]);
                test::sendText(fd, "GET /a.txt?client" + std::to_string(i) + " HTTP/1.0\r\n\r\n");
                test::readUntilClosed(fd, 5000);
                close(fd);
            }
        });
    for (auto& t : clients) t.join();
    ASSERT_TRUE(test::eventually([&] { return engine->openConnections == 0 && second->openConnections == 0; }));
    std::ifstream in(logs.file("qvx.log"));
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        ASSERT_EQ(line.rfind("127.0.0.1 - - [", 0), 0u) << line;
        ASSERT_NE(line.find("] \"/a.txt\" 200 "), std::string::npos) << line;
        ASSERT_EQ(line.back(), '\r') << line;
    }
    EXPECT_EQ(lines, 4 * kRequests);
}

TEST(CycleLogsTest, ThirtyGenerationsAndTheOldestGoes) {
    test::TempFolder etc, run, logs;
    auto engine = createEngine({etc.path(), run.path(), {}, nullptr});
    const std::string folder = logs.path() + "/";
    for (int n = 1; n <= 31; ++n) {
        test::writeFile(folder + "qvx.log", "round " + std::to_string(n) + "\r\n");
        EXPECT_EQ(CycleLogs(*engine, folder, "qvx", "log"), 1);
        EXPECT_EQ(test::readFile(folder + "qvx.log"), "");
    }
    EXPECT_EQ(test::readFile(folder + "qvx-001.log"), "round 31\r\n");
    EXPECT_EQ(test::readFile(folder + "qvx-030.log"), "round 2\r\n");  // round 1 was the thirty-first back
    EXPECT_FALSE(std::filesystem::exists(folder + "qvx-031.log"));
    int files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(logs.path())) ++files;
    EXPECT_EQ(files, 31);
}

}  // namespace
}  // namespace qv
