// The HTTP server of a real engine, driven over loopback sockets.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/core/engine.h"
#include "engine/core/socket_info.h"
#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

constexpr const char* kServerLines = "Server: Quorvane/pro-1.50-r13\r\nMIME-version: 1.0\r\n";

struct HttpServer : ::testing::Test {
    test::TempFolder etc, run, site;
    test::CapturedOutput output;
    EnginePtr engine;
    int port = 0;

    void SetUp() override {
        namespace fs = std::filesystem;
        for (const char* d : {"www/sub", "www/idx", "www/closed", "www/hdr", "www/private", "www/cgi", "www/bare",
                              "www/messages", "www/list/0123456789"})
            fs::create_directories(site.file(d));
        test::writeFile(site.file("www/a.txt"), "hello\n");
        test::writeFile(site.file("www/page.htm"), "<title>Page</title>\r\nYou are $remote_addr.\r\n");
        test::writeFile(site.file("www/idx/index.htm"), "");
        test::writeFile(site.file("www/idx/index.html"), "<h1>Index $Script_Name</h1>\n");
        test::writeFile(site.file("www/closed/x.txt"), "x");
        test::writeFile(site.file("www/hdr/qvheader.txt"), "About this folder");
        test::writeFile(site.file("www/private/secret.txt"), "secret");
        test::writeFile(site.file("www/cgi/run.pl"), "print 'source';\n");
        test::writeFile(site.file("www/bare/run.pl"), "print 'source';\n");
        test::writeFile(site.file("www/messages/board.htm"), "board");
        test::writeFile(site.file("www/list/small.txt"), std::string(1023, 's'));
        // Only an upper-case type gets its title shown.
        test::writeFile(site.file("www/list/FINE.HTM"), "<html><TITLE>A fine page</title>");
        test::writeFile(site.file("www/list/plain.htm"), "<title>Not shown</title>");
        test::writeFile(site.file("www/list/access.qac"), "[Description]\nsmall.txt=Small file\n");
    }
    void start(const std::string& options = "keep_alive=1", const std::string& extra = "") {
        const std::string www = site.file("www");
        engine = test::startEngine(etc, run,
                        "[Options]\nhostname=testhost\nsecurity_realm=Members\nwebdirbrowsing=1\nmax_body_size=100\n" +
                            options + "\n[Extensions]\nMap1=HTM h text/html\nMap2=TXT 0 text/plain\n[Aliases]\n"
                            "Alias1=/closed " + www + "/closed/ Anybody anywhere . . .\n"
                            "Alias2=/private " + www + "/private/ ann\nAlias3=/cgi " + www + "/cgi/ Anybody anywhere c\n"
                            "Alias4=/lan " + www + "/sub/ Anybody lan\nAlias5=/far " + www + "/sub/ Anybody far\n"
                            "[Users]\nUser1=ann Secret\n[Host Restrictions]\nlan=255.0.0.0\nfar=255.0.0.0\n"
                            "far.redirect=/sorry.htm\n" + extra + "[Multi]\nserver1=httpd\nport1=0\ndir1=" + www +
                            "\nserver2=none\n");
        port = serverPort(*engine, 1);
    }
    std::string exchange(const std::string& request) {
        int fd = test::connectLoopback(port);
        test::sendText(fd, request);
        std::string reply = test::readUntilClosed(fd, 5000);
        close(fd);
        return reply;
    }
    std::string get(const std::string& path, const std::string& headers = "") {
        return exchange("GET " + path + " HTTP/1.0\r\n" + headers + "\r\n");
    }
};

std::string bodyOf(const std::string& reply) { return reply.substr(reply.find("\r\n\r\n") + 4); }

TEST_F(HttpServer, FilesCarryTheirTypeAndLength) {
    start();
    EXPECT_EQ(get("/a.txt"), std::string("HTTP/1.0 200 OK\r\n") + kServerLines +
                                 "Content-Type: text/plain\r\ncontent-length: 6\r\n\r\nhello\n");
    // A simple request (no protocol) for a file still gets the header.
    EXPECT_EQ(exchange("GET /a.txt\r\n").rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
}

TEST_F(HttpServer, KeepAliveOnlyWhenAskedAllowedAndLengthKnown) {
    start();
    int fd = test::connectLoopback(port);
    test::sendText(fd, "GET /page.htm HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
    std::string page = "<title>Page</title>\r\nYou are 127.0.0.1.\r\n";
    std::string first = std::string("HTTP/1.0 200 OK\r\n") + kServerLines + "Content-Type: text/html\r\n" +
                        "Connection: Keep-Alive\r\ncontent-length: " + std::to_string(page.size()) + "\r\n\r\n" + page;
    std::string got;
    ASSERT_TRUE(test::eventually([&] {
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        return got.size() >= first.size();
    }));
    EXPECT_EQ(got, first);  // exactly this response, nothing of a next one
    test::sendText(fd, "GET /a.txt HTTP/1.0\r\n\r\n");  // no keep-alive asked: the server closes after it
    EXPECT_EQ(bodyOf(test::readUntilClosed(fd, 5000)), "hello\n");
    close(fd);
    // Folders, errors and redirects end the connection even when asked.
    EXPECT_EQ(get("/sub/", "Connection: keep-alive\r\n").find("Keep-Alive"), std::string::npos);
}

TEST_F(HttpServer, KeepAliveSettingOffMeansOneRequestPerConnection) {
    start("keep_alive=0");
    std::string reply = get("/a.txt", "Connection: keep-alive\r\n");
    EXPECT_EQ(reply.find("Keep-Alive"), std::string::npos);
    EXPECT_EQ(bodyOf(reply), "hello\n");
}

TEST_F(HttpServer, ErrorPagesAndTheirReferer) {
    start();
    EXPECT_EQ(get("/missing.txt"), std::string("HTTP/1.0 404 NOT FOUND\r\n") + kServerLines +
                                       "Content-Type: text/html\r\n\r\n<h2>FILE NOT FOUND</h2>The requested object "
                                       "(/missing.txt) was not found.\r\n");
    EXPECT_NE(get("/missing.txt", "Referer: http://from/\r\n")
                  .find("not found.\r\n<p>Return to <a href=http://from/>http://from/</a>\r\n"),
              std::string::npos);
    EXPECT_EQ(get("/closed/"), std::string("HTTP/1.0 403 Forbidden\r\n") + kServerLines +
                                   "Content-Type: text/html\r\n\r\n<h2>NOT ALLOWED</h2>Directory browsing is not "
                                   "allowed in this folder (/closed/).\r\n\r\n");
}

TEST_F(HttpServer, OwnedFolderAsksForItsUser) {
    start();
    std::string reply = get("/private/secret.txt");
    EXPECT_EQ(reply.rfind(std::string("HTTP/1.0 401 Unauthorized\r\n") + kServerLines +
                              "WWW-Authenticate: Basic realm=\"Members\"\r\nContent-Type: text/html\r\n\r\n"
                              "<h2>UNAUTHORIZED</h2>",
                          0),
              0u);
    EXPECT_EQ(get("/private/secret.txt", "Authorization: Basic YW5uOnNlY3JldA==\r\n").find("401"), 9u);  // wrong case
    EXPECT_EQ(bodyOf(get("/private/secret.txt", "Authorization: Basic YW5uOlNlY3JldA==\r\n")), "secret");
}

TEST_F(HttpServer, HostRestrictionRefusesOrRedirects) {
    start();  // the server listens on every address, so its own address is 0.0.0.0
    EXPECT_EQ(get("/lan/").rfind(std::string("HTTP/1.0 403 Forbidden\r\n") + kServerLines +
                                     "Content-Type: text/html\r\n\r\n<h2>NOT ALLOWED</h2>The requested object (/lan/) is "
                                     "restricted and cannot be accessed from your current location.",
                                 0),
              0u);
    std::string target = "http://testhost:" + std::to_string(port) + "/sorry.htm";
    EXPECT_EQ(get("/far/"), "HTTP/1.0 302 Found\r\nServer: Quorvane/pro-1.50-r13\r\nLocation: " + target +
                                "\r\nContent-type: text/html\r\n\r\n\r\nThis document is located at <A HREF=\"" + target +
                                "\">" + target + "</A>\r\n");
}

TEST_F(HttpServer, FoldersRedirectIndexOrList) {
    start();
    EXPECT_NE(get("/sub?x=1").find("\r\nLocation: /sub/\r\n"), std::string::npos);
    EXPECT_EQ(bodyOf(get("/idx/")), "<h1>Index /idx/</h1>\n");  // the empty index.htm is passed over
    std::string listing = get("/list/");
    EXPECT_EQ(listing.rfind(std::string("HTTP/1.0 200 OK\r\n") + kServerLines +
                                "Content-Type: text/html\r\n\r\n\r\n\r\n<H1>Directory Contents</H1><H2>For \"/list/\"</H2>",
                            0),
              0u);
    EXPECT_NE(listing.find("<A HREF = \"http:/list/0123456789/\">Dir :  0123456789/</a>" + std::string(31, ' ') + "  \r\n"),
              std::string::npos);
    EXPECT_NE(listing.find("<A HREF = \"http:/list/small.txt\">File :             small.txt</A> 1023 B   "),
              std::string::npos);
    EXPECT_NE(listing.find(" Small file\r\n"), std::string::npos);
    EXPECT_NE(listing.find(" A fine page\r\n"), std::string::npos);
    EXPECT_EQ(listing.find("Not shown"), std::string::npos);
    EXPECT_NE(listing.find("</PRE>\r\n"), std::string::npos);
    // A simple request gets the listing without status line and headers.
    EXPECT_EQ(exchange("GET /list/\r\n").rfind("\r\n\r\n<H1>Directory Contents</H1>", 0), 0u);
    EXPECT_NE(get("/hdr/").find("<pre>About this folder</pre>"), std::string::npos);
}

TEST_F(HttpServer, ProgramsAreNeverSentAsTheirSource) {
    start();
    std::string reply = get("/cgi/run.pl");
    EXPECT_EQ(reply.rfind("HTTP/1.0 500 Internal Server Error\r\n", 0), 0u);
    EXPECT_EQ(reply.find("source"), std::string::npos);
    // Outside a program folder the same file is just a file.
    EXPECT_EQ(bodyOf(get("/bare/run.pl")), "print 'source';\n");
}

TEST_F(HttpServer, BuiltInPagesAndBoards) {
    start();
    for (const char* url : {"/~STATUS", "/~statusfoo"}) {
        std::string page = exchange(std::string("GET ") + url + "\r\n");  // a simple request: the bare page
        EXPECT_EQ(page.rfind("<title>Server Stats</title>\r\n<center><h2>Server Status</h2>", 0), 0u) << url;
        EXPECT_NE(page.find("<tr><td><a href=http://testhost:" + std::to_string(port) + ">http://testhost:" +
                            std::to_string(port) + "</a><td>UP<td>"),
                  std::string::npos);
    }
    // Browsers need a status line: a request that names a version gets one.
    EXPECT_EQ(get("/~status").rfind(std::string("HTTP/1.0 200 OK\r\n") + kServerLines +
                                        "Content-Type: text/html\r\n\r\n<title>Server Stats</title>",
                                    0),
              0u);
    EXPECT_EQ(exchange("GET /~status/connections\r\n").rfind("\r\n\r\n<pre>------- Socket Info --------\r\n", 0), 0u);
    EXPECT_EQ(bodyOf(get("/messages/board.htm")), "board");
    // A board needs an alias that allows posting; this folder has none.
    EXPECT_EQ(bodyOf(exchange("POST /messages/board HTTP/1.0\r\nContent-length: 3\r\n\r\na=b")),
              "Error posting message.  Alias error.\r\n");
}

// What a client sent never reaches a page as markup, nor a header as a line.
TEST_F(HttpServer, RequestTextIsEscapedWherePagesShowIt) {
    std::filesystem::create_directories(site.file("www/list/<img src=x onerror=alert(1)>"));
    std::filesystem::create_directories(site.file("www/evil\r\nSet-Cookie: stolen=1"));
    start();
    std::string missing = get("/%3Cscript%3Ealert(1)%3C/script%3E", "Referer: \"><script>x()</script>\r\n");
    EXPECT_EQ(missing.find("<script>"), std::string::npos);
    EXPECT_NE(missing.find("(/&lt;script&gt;alert(1)&lt;/script&gt;) was not found."), std::string::npos);
    EXPECT_NE(missing.find("<a href=&quot;&gt;&lt;script&gt;"), std::string::npos);
    std::string listing = get("/list/");
    EXPECT_EQ(listing.find("<img src=x"), std::string::npos);
    EXPECT_NE(listing.find("&lt;img src=x onerror=alert(1)&gt;/</a>"), std::string::npos);
    std::string redirect = get("/evil%0D%0ASet-Cookie:%20stolen=1");
    EXPECT_EQ(redirect.find("\r\nSet-Cookie"), std::string::npos);
    EXPECT_NE(redirect.find("Location: /evil%0D%0ASet-Cookie: stolen=1/\r\n"), std::string::npos);
    EXPECT_EQ(get("/~status/connections?<b>bold").find("<b>"), std::string::npos);
}

TEST_F(HttpServer, HeadGetsTheHeadersAlone) {
    start();
    EXPECT_EQ(exchange("HEAD /a.txt HTTP/1.0\r\n\r\n"), std::string("HTTP/1.0 200 OK\r\n") + kServerLines +
                                                            "Content-Type: text/plain\r\ncontent-length: 6\r\n\r\n");
    std::string page = exchange("HEAD /page.htm HTTP/1.0\r\n\r\n");
    const std::string expanded = "<title>Page</title>\r\nYou are 127.0.0.1.\r\n";  // the length a GET sends
    EXPECT_NE(page.find("content-length: " + std::to_string(expanded.size()) + "\r\n\r\n"), std::string::npos);
    EXPECT_EQ(page.substr(page.size() - 4), "\r\n\r\n");
    for (const char* url : {"/missing.txt", "/sub", "/list/", "/~status"}) {
        std::string reply = exchange(std::string("HEAD ") + url + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply.find("\r\n\r\n"), reply.size() - 4) << url << ": " << reply;
    }
    // A keep-alive client reads exactly one response, then the next.
    int fd = test::connectLoopback(port);
    test::sendText(fd, "HEAD /a.txt HTTP/1.0\r\nConnection: keep-alive\r\n\r\nGET /a.txt HTTP/1.0\r\n\r\n");
    std::string both = test::readUntilClosed(fd, 5000);
    close(fd);
    EXPECT_EQ(bodyOf(both.substr(both.find("HTTP/1.0", 1))), "hello\n");
}

// Pages are read whole; one without variables or directives goes out as it
// is, and a page changed between two requests of one connection is served
// as it is now, also when it grew from 1 KiB to 1 MiB.
TEST_F(HttpServer, PagesAreServedAsTheyAreNow) {
    start();
    const std::string small = std::string(1000, 'a') + "\r\n" + std::string(3000, 'b') + "\n";  // a line over 2,047
    test::writeFile(site.file("www/plain.htm"), small);
    int fd = test::connectLoopback(port);
    auto fetch = [&](std::size_t length) {
        test::sendText(fd, "GET /plain.htm HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
        std::string got;
        test::eventually([&] {
            char buf[65536];
            ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
            return got.find("\r\n\r\n") != std::string::npos && bodyOf(got).size() >= length;
        });
        return bodyOf(got);
    };
    EXPECT_EQ(fetch(small.size()), small);
    const std::string large = "<p>$remote_addr</p>\n" + std::string(1 << 20, 'c');
    test::writeFile(site.file("www/plain.htm"), large);
    std::string body = fetch(large.size() - 12 + 9);
    EXPECT_EQ(body.rfind("<p>127.0.0.1</p>\n", 0), 0u);
    EXPECT_EQ(body.size(), large.size() - 12 + 9);  // "$remote_addr" became "127.0.0.1"
    close(fd);
    test::writeFile(site.file("www/nul.htm"), "one\n<!--#config cmdprefix=\"x\"-->\ntwo\n" + std::string(1, '\0') +
                                                 "hidden\n");
    EXPECT_EQ(bodyOf(get("/nul.htm")), "one\ntwo\n");  // a line that starts with NUL ends the page
}

// A large file goes out in as few sends as the socket takes; the record of
// the connection still counts every byte the client received.
TEST_F(HttpServer, RecordCountsEveryByteOfALargeFile) {
    start();
    const std::string big = std::string(3 << 20, 'z') + "end";
    test::writeFile(site.file("www/big.txt"), big);
    int fd = test::connectLoopback(port);
    test::sendText(fd, "GET /big.txt HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
    std::string got;
    ASSERT_TRUE(test::eventually(
        [&] {
            char buf[65536];
            ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
            return got.find("\r\n\r\n") != std::string::npos && bodyOf(got).size() >= big.size();
        },
        20000));
    EXPECT_EQ(bodyOf(got), big);
    auto counted = [&] {
        for (int i = 0; i < kSocketInfoRecords; ++i) {
            SocketInfo r = engine->socketInfo.snapshot(i);
            if (r.inUse == 1 && r.fileSize > 0) return std::make_pair(r.bytesSent, r.fileSize);
        }
        return std::make_pair(0, 0);
    };
    // The connection is kept open: its record is still there to read.
    EXPECT_TRUE(test::eventually([&] { return counted().first == static_cast<int32_t>(got.size()); }))
        << counted().first << " of " << got.size();
    EXPECT_EQ(counted().second, static_cast<int32_t>(big.size()));
    close(fd);
}

TEST_F(HttpServer, OversizedBodyIsRefusedAndTheConnectionClosed) {
    start();
    std::string reply = exchange("POST /a.txt HTTP/1.0\r\nContent-length: 5000\r\n\r\n" + std::string(5000, 'x'));
    EXPECT_EQ(reply.rfind("HTTP/1.0 500 Internal Server Error\r\n", 0), 0u);
}

}  // namespace
}  // namespace qv
