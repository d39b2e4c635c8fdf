// Message boards over a real engine, driven with form posts.
#include "engine/http/message_board.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <unistd.h>

#include "engine/core/engine.h"
#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

struct MessageBoards : ::testing::Test {
    test::TempFolder etc, run, site;
    EnginePtr engine;
    int port = 0;
    const std::string boardHead = "<html><body><h1>Guests</h1>\n";

    void SetUp() override {
        std::filesystem::create_directories(site.file("www/messages"));
        std::filesystem::create_directories(site.file("www/closed"));
        test::writeFile(site.file("www/messages/guests.htm"), boardHead);
        test::writeFile(site.file("www/closed/guests.htm"), boardHead);
        const std::string www = site.file("www");
        engine = test::startEngine(etc, run,
                                   "[Options]\nhostname=testhost\n[Extensions]\nMap1=HTM h text/html\n[Aliases]\n"
                                   "Alias1=/messages " + www + "/messages/ Anybody anywhere . m\n"
                                   "Alias2=/messages/closed " + www + "/closed/ Anybody anywhere\n"
                                   "[Multi]\nserver1=httpd\nport1=0\ndir1=" + www + "/\nserver2=none\n");
        port = serverPort(*engine, 1);
    }
    std::string post(const std::string& url, const std::string& body,
                     const std::string& type = "application/x-www-form-urlencoded") {
        int fd = test::connectLoopback(port);
        test::sendText(fd, "POST " + url + " HTTP/1.0\r\nContent-Type: " + type + "\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\n\r\n" + body);
        std::string reply = test::readUntilClosed(fd, 5000);
        close(fd);
        return reply;
    }
    std::string board() const { return test::readFile(site.file("www/messages/guests.htm")); }
    static std::string status(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }
    static std::string body(const std::string& reply) { return reply.substr(reply.find("\r\n\r\n") + 4); }
};

TEST_F(MessageBoards, TheDefaultEntryGoesAtTheEndAndTheBoardComesBack) {
    std::string reply = post("/messages/guests", "name=Ann&email=ann%40example.org&subject=Hello&text=Nice+site");
    EXPECT_EQ(status(reply), "HTTP/1.0 200 OK");
    const std::string stored = board();
    ASSERT_EQ(stored.rfind(boardHead, 0), 0u);
    const std::string entry = stored.substr(boardHead.size());
    EXPECT_EQ(entry.rfind("<hr>Message from <a href=mailto:ann@example.org><b>Ann</b></a> at 127.0.0.1 - ", 0), 0u)
        << entry;
    EXPECT_TRUE(entry.ends_with("<br><h3>Hello</h3>Nice site<p>\r\n")) << entry;
    EXPECT_EQ(body(reply), stored);

    post("/messages/guests", "text=second");
    const std::string second = board().substr(stored.size());
    EXPECT_EQ(second.rfind("<hr>Message from <b>Somebody</b> at 127.0.0.1 - ", 0), 0u) << second;
    EXPECT_TRUE(second.ends_with("<br>second<p>\r\n")) << second;
}

TEST_F(MessageBoards, RefusalsKeepTheirTextsUnderAFittingStatusAndLeaveTheBoard) {
    const std::string before = board();
    auto refused = [&](const std::string& url, const std::string& form, const std::string& code,
                       const std::string& text) {
        std::string reply = post(url, form);
        EXPECT_EQ(status(reply).substr(0, 12), "HTTP/1.0 " + code) << url;
        EXPECT_EQ(body(reply).substr(0, text.size()), text) << url;
    };
    refused("/messages/guests", "text=%3C!--%23exec+cmd%3D%22ls%22--%3E", "403",
            "<h1>Sorry, unable to send your message.</h1>Server Side Includes are not allowed");
    refused("/messages/nobody", "text=x", "404", "Error posting message.  File not found.\r\n");
    refused("/messages/closed/guests", "text=x", "403", "Error posting message.  Not allowed in this directory.\r\n");
    EXPECT_EQ(board(), before);
    // A GET is no post: the board is served like any page.
    int fd = test::connectLoopback(port);
    test::sendText(fd, "GET /messages/guests.htm HTTP/1.0\r\n\r\n");
    EXPECT_EQ(body(test::readUntilClosed(fd, 5000)), before);
    close(fd);
}

TEST_F(MessageBoards, PostedMarkupIsShownAsTextAndDollarsAsPosted) {
    post("/messages/guests",
         "name=%3Cscript%3Ealert(1)%3C%2Fscript%3E&text=costs+%24remote_addr+%26+more&"
         "email=x%22+onmouseover%3D%22alert(1)&link=javascript%3Aalert(1)&date=my+own+date");
    const std::string entry = board().substr(boardHead.size());
    EXPECT_EQ(entry.find("<script>"), std::string::npos) << entry;
    EXPECT_NE(entry.find("<b>&lt;script&gt;alert(1)&lt;/script&gt;</b>"), std::string::npos) << entry;
    EXPECT_EQ(entry.find("mailto"), std::string::npos);   // the e-mail with a quote is dropped
    EXPECT_EQ(entry.find("javascript"), std::string::npos);  // so is a link without a safe scheme
    EXPECT_NE(entry.find(" - my own date<br>"), std::string::npos) << entry;  // a field wins over a page variable
    // Served again (and expanded again), the text shows as it was posted.
    int fd = test::connectLoopback(port);
    test::sendText(fd, "GET /messages/guests.htm HTTP/1.0\r\n\r\n");
    EXPECT_NE(body(test::readUntilClosed(fd, 5000)).find("costs $remote_addr &amp; more<p>"), std::string::npos);
    close(fd);
}

TEST_F(MessageBoards, OnlyFormBodiesAreDecoded) {
    post("/messages/guests", "{\"text\":\"json\"}", "application/json");
    EXPECT_TRUE(board().ends_with("<br>...<p>\r\n")) << board();  // no fields: the default texts
}

TEST_F(MessageBoards, ParallelPostsGiveWholeEntriesOrTheBusyPage) {
    constexpr int kPosts = 20;
    std::vector<std::thread> posters;
    std::atomic<int> busy {0};
    for (int i = 0; i < kPosts; ++i)
        posters.emplace_back([&, i] {
            std::string reply = post("/messages/guests", "text=post+" + std::to_string(i));
            if (status(reply).rfind("HTTP/1.0 503", 0) == 0) busy++;
        });
    for (auto& t : posters) t.join();
    const std::string stored = board();
    int entries = 0;
    for (int i = 0; i < kPosts; ++i)
        entries += stored.find("<br>post " + std::to_string(i) + "<p>\r\n") != std::string::npos;
    EXPECT_EQ(entries + busy, kPosts);
    int starts = 0;
    for (std::size_t at = 0; (at = stored.find("<hr>Message from", at)) != std::string::npos; ++at) ++starts;
    EXPECT_EQ(starts, entries);
}

}  // namespace
}  // namespace qv
