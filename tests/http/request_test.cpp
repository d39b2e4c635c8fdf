// Parsing request lines, URLs, header lines and Basic credentials.
#include "engine/http/request.h"

#include <gtest/gtest.h>

#include <vector>

namespace qv {
namespace {

TEST(RequestLine, SplitsMethodUrlAndTheRestAsProtocol) {
    struct Case {
        const char* line;
        const char* method;
        const char* url;
        const char* protocol;
    } cases[] = {
        {"GET /a.htm HTTP/1.0", "GET", "/a.htm", "HTTP/1.0"},
        {"GET /a.htm", "GET", "/a.htm", ""},
        {"GET /a b c", "GET", "/a", "b c"},
        {"GET", "GET", "", ""},
        {"", "", "", ""},
        {" /x HTTP/1.0", "", "/x", "HTTP/1.0"},
    };
    for (const auto& c : cases) {
        std::string method, url, protocol;
        splitRequestLine(c.line, method, url, protocol);
        EXPECT_EQ(method, c.method) << c.line;
        EXPECT_EQ(url, c.url) << c.line;
        EXPECT_EQ(protocol, c.protocol) << c.line;
    }
}

TEST(RequestUrl, PathInfoStartsAtTheFirstSlashAfterADot) {
    struct Case {
        const char* url;
        const char* path;
        std::optional<std::string> info;
        std::optional<std::string> query;
    } cases[] = {
        {"/cgi-bin/run.exe/a/b?x=1", "/cgi-bin/run.exe", "a/b", "x=1"},
        {"/docs/page", "/docs/page", std::nullopt, std::nullopt},
        {"/dir.v2/page.htm", "/dir.v2", "page.htm", std::nullopt},
        {"/pic.map?10,20", "/pic.map", std::nullopt, "10,20"},
        {"/a?b/c.d/e", "/a", std::nullopt, "b/c.d/e"},
        {"/x.pl/", "/x.pl", "", std::nullopt},
        {"/?", "/", std::nullopt, ""},
    };
    for (const auto& c : cases) {
        std::string path;
        std::optional<std::string> info, query;
        splitUrl(c.url, path, info, query);
        EXPECT_EQ(path, c.path) << c.url;
        EXPECT_EQ(info, c.info) << c.url;
        EXPECT_EQ(query, c.query) << c.url;
    }
}

TEST(HeaderLines, KnownHeadersFillTheirFieldsWithinTheirLimits) {
    HttpRequest r;
    EXPECT_EQ(parseHeaderLine(r, "User-Agent: " + std::string(300, 'u'), 1), kHeaderGoOn);
    EXPECT_EQ(r.userAgent, std::string(255, 'u'));
    parseHeaderLine(r, "referer:  http://" + std::string(100, 'r'), 1);
    EXPECT_EQ(r.referer, ("http://" + std::string(100, 'r')).substr(0, 62));
    parseHeaderLine(r, "Content-Type: " + std::string(63, 't'), 1);
    EXPECT_EQ(r.contentType, "");  // too long: dropped, not cut
    parseHeaderLine(r, "Content-type: text/plain", 1);
    EXPECT_EQ(r.contentType, "text/plain");
    parseHeaderLine(r, "Content-Length: 99999999999999999999999", 1);
    EXPECT_GT(r.contentLength, 0);  // saturates instead of overflowing
    parseHeaderLine(r, "X-Empty:", 1);
    parseHeaderLine(r, "X-Thing: 1", 1);
    parseHeaderLine(r, "X-Thing: 2", 1);
    EXPECT_EQ(r.headers.value("X-Thing_1"), "2");
    EXPECT_EQ(r.headers.value("X-Empty"), std::nullopt);
}

// Requests whose body end is in doubt are refused, so no request can hide
// in a body and no body can pass for a request.
TEST(HeaderLines, DoubtfulBodyLengthsAreRefused) {
    struct Case {
        std::vector<std::string> lines;
        int last;  // the result of the last line
        int64_t length;
    } cases[] = {
        {{"Content-Length: 39abc"}, kHeaderRefused, 0},
        {{"Content-Length:"}, kHeaderRefused, 0},
        {{"Content-Length: -1"}, kHeaderRefused, 0},
        {{"Content-Length: 1 2"}, kHeaderRefused, 0},
        {{"Content-Length: 3", "Content-Length: 4"}, kHeaderRefused, 3},
        {{"Content-Length: 3", "content-length:  3 "}, kHeaderGoOn, 3},
        {{"Transfer-Encoding: chunked"}, kHeaderRefused, 0},
        {{"transfer-encoding: identity"}, kHeaderRefused, 0},
        {{"Accept: */*", " Content-Length: 9"}, kHeaderRefused, 0},
        {{"Accept: */*", "\tX: y"}, kHeaderRefused, 0},
        {{"Content-Length:\t42\t"}, kHeaderGoOn, 42},
    };
    for (const auto& c : cases) {
        HttpRequest r;
        int rc = kHeaderGoOn;
        for (const std::string& line : c.lines) rc = parseHeaderLine(r, line, 1);
        EXPECT_EQ(rc, c.last) << c.lines.back();
        EXPECT_EQ(r.contentLength, c.length) << c.lines.back();
    }
}

TEST(HeaderLines, KeepAliveFollowsTheSetting) {
    HttpRequest off, on;
    parseHeaderLine(off, "Connection: Keep-Alive", 0);
    parseHeaderLine(on, "connection: keep-alive", 1);
    EXPECT_EQ(off.keepAliveRequested, 0);
    EXPECT_EQ(on.keepAliveRequested, 1);
    EXPECT_EQ(on.headers.value("connection"), "keep-alive");
}

TEST(HeaderLines, AcceptItemsAndTheBlankLine) {
    HttpRequest r;
    parseHeaderLine(r, "Accept: text/html, image/gif;q=0.5, */* level=1", 1);
    EXPECT_EQ(r.acceptList.value("text/html"), "Yes");
    EXPECT_EQ(r.acceptList.value("*/*"), "level=1");
    EXPECT_EQ(r.acceptList.size(), 3u);
    EXPECT_EQ(parseHeaderLine(r, "", 1), kHeaderDone);
    HttpRequest post;
    parseHeaderLine(post, "Content-length: 5", 1);
    EXPECT_EQ(parseHeaderLine(post, "", 1), kHeaderGoOn);
    EXPECT_TRUE(post.endOfHeaders);
}

TEST(BasicCredentials, UserAndPasswordAreColonSeparatedRuns) {
    struct Case {
        const char* value;
        const char* user;
        const char* password;
    } cases[] = {
        {"Basic YW5uOnNlY3JldA==", "ann", "secret"},            // ann:secret
        {"basic YW5uOnNlYzpyZXQ=", "ann", "sec"},               // ann:sec:ret
        {"Basic OmFubg==", "ann", ""},                          // :ann
        {"Basic YWJjZGVmZ2hpamtsbW5vcHFyczpwYXNz", "abcdefghijklmno", "pass"},  // 19-char user
        {"Basic YW5uOmNvcnJlY3QtaG9yc2UtYmF0dGVyeS1zdGFwbGU=", "ann", "correct-horse-battery-staple"},  // a password is never cut to 15
        {"Digest YW5uOnNlY3JldA==", "", ""},
        {"Basic", "", ""},
    };
    for (const auto& c : cases) {
        std::string user = "x", password = "y";
        parseBasicCredentials(c.value, user, password);
        EXPECT_EQ(user, c.user) << c.value;
        EXPECT_EQ(password, c.password) << c.value;
    }
}

TEST(RequestReset, ClearsOneRequestButKeepsTheSettings) {
    HttpRequest r;
    r.settings = std::make_shared<const Settings>();
    parseHeaderLine(r, "Authorization: Basic YW5uOnNlY3JldA==", 1);
    parseHeaderLine(r, "Cookie: a", 1);
    r.body = "x";
    r.lastModified = "Mon";
    resetRequest(r);
    EXPECT_TRUE(r.user.empty());
    EXPECT_TRUE(r.headers.empty());
    EXPECT_FALSE(r.body);
    EXPECT_EQ(r.lastModified, "???");
    EXPECT_TRUE(r.settings);
}

}  // namespace
}  // namespace qv
