// Gateway programs run by a real engine: the probe program reports what it
// was started with; batch scripts, Perl and pages with "exec" run too.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "engine/gateway/cgi_run.h"
#include "engine/platform/child_process.h"
#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

struct Gateway : ::testing::Test {
    test::TempFolder etc, run, site;
    EnginePtr engine;
    int port = 0;

    std::string cgi() const { return site.file("cgi"); }
    std::string temp() const { return site.file("temp"); }

    void SetUp() override {
        fs::create_directories(cgi());
        fs::create_directories(temp());
        fs::create_directories(site.file("www"));
        fs::copy_file(QV_PROBE_PATH, cgi() + "/probe.exe");
        fs::copy_file(QV_PROBE_PATH, cgi() + "/wincgi.exe");
        test::writeFile(cgi() + "/access.qac", "[cgi mode]\nprobe.exe=standard\n");
    }
    std::string ini(const std::string& extra = "") const {
        return "[Options]\nhostname=testhost\ntempdir=" + temp() + "/\n" + extra +
               "[CGI]\nPerl_Compiler=perl\n[Extensions]\nMap1=HTM h text/html\n[Aliases]\n"
               "Alias1=/cgi-bin " + cgi() + "/ Anybody anywhere c\n"
               "Alias2=/std " + site.file("www") + "/ Anybody anywhere s\n"
               "Alias3=/private " + site.file("www") + "/ owner anywhere\n"
               "[Multi]\nserver1=httpd\nport1=0\ndir1=" + site.file("www") + "/\nserver2=none\n";
    }
    void start(const std::string& extra = "", std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        EngineOptions options;
        options.programTimeout = timeout;
        engine = test::startEngineWith(etc, run, ini(extra), std::move(options));
        port = serverPort(*engine, 1);
        ASSERT_GT(port, 0);
    }
    std::string ask(const std::string& request, int timeoutMs = 10000) const {
        int fd = test::connectLoopback(port);
        test::sendText(fd, request);
        std::string reply = test::readUntilClosed(fd, timeoutMs);
        close(fd);
        return reply;
    }
    std::string get(const std::string& url) const { return ask("GET " + url + " HTTP/1.0\r\n\r\n"); }
    std::string post(const std::string& url, const std::string& body) const {
        return ask("POST " + url + " HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n" + body);
    }
    bool tempEmpty() const { return fs::is_empty(temp()); }
};

TEST_F(Gateway, StandardProgramSeesItsRequestAndNothingOfTheServer) {
    start();
    std::string reply = post("/cgi-bin/probe.exe/extra/path?a=%26b", "token=one&x=2");
    ASSERT_EQ(reply.rfind("HTTP/1.0 200 OK\r\nMIME-version: 1.0\r\nContent-Type: text/plain\r\n\r\nargc=2\r\n", 0), 0u)
        << reply;
    for (const char* line :
         {"argv[1]=a=&b\r\n", "fds=0,1,2\r\n", "sigpipe=default\r\n", "sigmask=empty\r\n", "pgid_is_pid=1\r\n",
          "stdin=token=one&x=2\r\n", "env:QUERY_STRING=a=%26b\r\n", "env:PATH_INFO=/extra/path\r\n",
          "env:REQUEST_METHOD=POST\r\n", "env:Request_Method=POST\r\n", "env:CONTENT_LENGTH=13\r\n",
          "env:SERVER_NAME=testhost\r\n", "env:GATEWAY_INTERFACE=CGI/1.1\r\n", "env:REMOTE_ADDR=127.0.0.1\r\n"})
        EXPECT_NE(reply.find(line), std::string::npos) << line << "\n" << reply;
    EXPECT_NE(reply.find("cwd=" + fs::canonical(cgi()).string() + "\r\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("env:PATH_TRANSLATED=" + site.file("www") + "/extra/path\r\n"), std::string::npos);
    EXPECT_EQ(reply.find("env:NOTIFY_SOCKET"), std::string::npos);
    EXPECT_TRUE(tempEmpty());
}

TEST_F(Gateway, WindowsProgramGetsItsFilesAndTheProfileStaysWithDebugMode) {
    start("[CGI]\nDebug_Mode=Yes\n");
    // The path info's alias decides access only, not how the program is
    // called: /std's bare command line flag does not apply.
    std::string reply = post("/cgi-bin/wincgi.exe/std/x", "field=%41bc&plain=1");
    ASSERT_EQ(reply.rfind("HTTP/1.0 200 OK\r\nMIME-version: 1.0\r\nContent-Type: text/plain\r\n\r\nargc=4\r\n", 0), 0u)
        << reply;
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(temp())) {
        names.insert(entry.path().filename().string().substr(0, 5));
        EXPECT_EQ(fs::status(entry).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write)
            << entry.path();
    }
    EXPECT_EQ(names, (std::set<std::string> {"CGIco", "CGIer", "CGIin", "CGIou"}));
    std::string profile;
    for (const auto& entry : fs::directory_iterator(temp()))
        if (entry.path().filename().string().starts_with("CGIin") && entry.path().extension() == ".qvx")
            profile = test::readFile(entry.path());
    EXPECT_NE(profile.find("[Form Literal]\nplain=1\n"), std::string::npos) << profile;
    EXPECT_NE(profile.find("[Form External]\nfield="), std::string::npos) << profile;
    EXPECT_NE(profile.find("Debug Mode=Yes\n"), std::string::npos);
}

TEST_F(Gateway, ATimedOutProgramGivesTheTimeOutReplyOnlyAndIsReapedLater) {
    start("", std::chrono::milliseconds(300));
    std::string reply = get("/cgi-bin/probe.exe?sleep=1500");
    EXPECT_EQ(reply.rfind("HTTP/1.0 500 Internal Server Error\r\n", 0), 0u) << reply;
    EXPECT_TRUE(reply.ends_with("\r\n\r\n<h1>CGI timeout 180 sec</h1>")) << reply;
    EXPECT_EQ(reply.find("argc="), std::string::npos);
    EXPECT_GE(lingeringChildren(), 1u);
    EXPECT_TRUE(test::eventually([] { return lingeringChildren() == 0; }, 10000));
    EXPECT_TRUE(tempEmpty());
}

// Ends every child of this process (the engine runs in it): the programs
// the test left running.
void killChildren() {
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::istringstream children(test::readFile(task.path() / "children"));
        for (pid_t pid; children >> pid;) kill(pid, SIGKILL);
    }
}

TEST_F(Gateway, TooManyLingeringProgramsRefuseNewOnes) {
    start("", std::chrono::milliseconds(20));
    // Each program sleeps far longer than the requests take, however slow
    // the machine; they are ended below.
    for (std::size_t i = 0; i <= kMaxLingeringPrograms; ++i)
        ASSERT_NE(get("/cgi-bin/probe.exe?sleep=60000").find("<h1>CGI timeout 180 sec</h1>"), std::string::npos);
    EXPECT_EQ(get("/cgi-bin/probe.exe").rfind("HTTP/1.0 500 Internal Server Error", 0), 0u);
    killChildren();
    EXPECT_TRUE(test::eventually([] { return lingeringChildren() == 0; }, 15000));
    EXPECT_EQ(get("/cgi-bin/probe.exe").rfind("HTTP/1.0 200 OK", 0), 0u);
}

TEST_F(Gateway, ParallelPostsEachGetTheirOwnAnswerAlsoFromTwoEngines) {
    start();
    test::TempFolder etc2, run2;
    EnginePtr second = test::startEngineWith(etc2, run2, ini(), EngineOptions {});
    const int ports[] = {port, serverPort(*second, 1)};
    std::vector<std::thread> clients;
    std::atomic<int> matched {0};
    for (int i = 0; i < 32; ++i) {
        clients.emplace_back([&, i] {
            int fd = test::connectLoopback(ports[i % 2]);
            std::string body = "token=" + std::to_string(i) + "x" + std::to_string(getpid());
            test::sendText(fd, "POST /cgi-bin/probe.exe HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                                   "\r\n\r\n" + body);
            std::string reply = test::readUntilClosed(fd, 20000);
            close(fd);
            if (reply.find("stdin=" + body + "\r\n") != std::string::npos) ++matched;
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(matched.load(), 32);
    EXPECT_TRUE(tempEmpty());
}

TEST_F(Gateway, BatchScriptsPerlAndFailures) {
    test::writeFile(cgi() + "/hello.bat", "printf 'Content-type: text/plain\\r\\n\\r\\nbatch %s' \"$1\"\n");
    test::writeFile(cgi() + "/silent.bat", "exit 0\n");
    test::writeFile(cgi() + "/hello.pl", "print \"Content-type: text/html\\r\\n\\r\\n<p>Perl: $ENV{QUERY_STRING}\";\n");
    test::writeFile(cgi() + "/empty.exe", "");
    test::writeFile(cgi() + "/access.qac", "[cgi mode]\nhello.bat=standard\nsilent.bat=standard\n");
    start();
    EXPECT_TRUE(get("/cgi-bin/hello.bat?word").ends_with("\r\n\r\nbatch word")) << get("/cgi-bin/hello.bat?word");
    std::string perl = get("/cgi-bin/hello.pl?q=%41");
    EXPECT_EQ(perl.rfind("HTTP/1.0 200 OK\r\nMIME-version: 1.0\r\nContent-Type: text/html\r\n\r\n", 0), 0u) << perl;
    EXPECT_TRUE(perl.ends_with("<p>Perl: q=%41")) << perl;
    EXPECT_TRUE(ask("HEAD /cgi-bin/hello.pl HTTP/1.0\r\n\r\n").ends_with("Content-Type: text/html\r\n\r\n"));
    EXPECT_TRUE(get("/cgi-bin/silent.bat").ends_with("Content-Type: text/html\r\n\r\n<h1>CGI no output</h1>"));
    EXPECT_EQ(get("/cgi-bin/empty.exe").rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(get("/cgi-bin/missing.exe").rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(get("/cgi-bin/hello.bat/private/x").rfind("HTTP/1.0 401", 0), 0u);
    EXPECT_TRUE(tempEmpty());
}

TEST_F(Gateway, PagesRunCommandsAndProgramsUnlessTurnedOff) {
    test::writeFile(site.file("www/run.htm"),
                    "<ul>\n<!--#config cmdprefix=\"<li>\"-->\n<!--#config cmdpostfix=\"</li>\"-->\n"
                    "<!--#exec cmd=\"/bin/echo hello  page\"-->\n</ul>\n"
                    "<!--#exec cgi=\"" + cgi() + "/probe.exe?x\"-->\n");
    start();
    std::string page = get("/run.htm");
    EXPECT_NE(page.find("<ul>\n<li>hello page\n</li></ul>\n"), std::string::npos) << page;
    EXPECT_NE(page.find("<li>argc=2\r\n</li>"), std::string::npos) << page;
    EXPECT_EQ(page.find("HTTP/1.0 200 OK", 5), std::string::npos);

    engine.reset();
    start("page_exec=0\n");
    page = get("/run.htm");
    EXPECT_NE(page.find("<ul>\n*** SSI SCRIPT ERROR ***</ul>\n*** SSI SCRIPT ERROR ***"), std::string::npos) << page;
}

}  // namespace
}  // namespace qv
