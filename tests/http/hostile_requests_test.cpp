// What clients that mean harm send, against a real engine: requests that
// try to hide another request, heads that never end, bodies announced and
// never sent, and paths and passwords the server once got wrong.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "engine/core/engine.h"
#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

int countOf(const std::string& text, const std::string& piece) {
    int n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

struct HostileRequests : ::testing::Test {
    test::TempFolder etc, run, site;
    test::CapturedOutput output;
    EnginePtr engine;
    int port = 0;

    void start(const std::string& options = "") {
        std::filesystem::create_directories(site.file("www/sub.d"));
        std::filesystem::create_directories(site.file("www/private"));
        test::writeFile(site.file("www/a.txt"), "hello\n");
        test::writeFile(site.file("www/sub.d/file.txt"), "in a dotted folder\n");
        test::writeFile(site.file("www/private/secret.txt"), "secret");
        engine = test::startEngine(
            etc, run,
            "[Options]\nkeep_alive=1\nhttp_read_timeout=2\n" + options +
                "\n[Extensions]\nMap1=TXT 0 text/plain\n[Aliases]\nAlias1=/private " + site.file("www/private/") +
                " ann\n[Users]\nUser1=ann correct-horse-battery-staple\n[Multi]\nserver1=httpd\nip1=127.0.0.1\n"
                "port1=0\ndir1=" + site.file("www") + "\nserver2=none\n");
        port = serverPort(*engine, 1);
    }
    std::string exchange(const std::string& bytes, int timeoutMs = 5000) {
        int fd = test::connectLoopback(port);
        test::sendText(fd, bytes);
        std::string reply = test::readUntilClosed(fd, timeoutMs);
        close(fd);
        return reply;
    }
};

// Each request tries to make the server read the pipelined GET as part of
// a body (or a body as a request).  It is answered, or the connection is
// closed unanswered; it is never eaten.
TEST_F(HostileRequests, NoRequestHidesInAnother) {
    start();
    const std::string next = "GET /a.txt HTTP/1.0\r\n\r\n";
    struct Case {
        const char* what;
        std::string head;
        int answers;  // responses expected: 0, refused and closed; 2, both answered
    } cases[] = {
        {"two lengths", "POST /a.txt HTTP/1.0\r\nContent-Length: 0\r\nContent-Length: 23\r\n\r\n", 0},
        {"a malformed length", "POST /a.txt HTTP/1.0\r\nContent-Length: 23abc\r\n\r\n", 0},
        {"chunked", "POST /a.txt HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", 0},
        {"a folded length", "GET /a.txt HTTP/1.0\r\nX-A: b\r\n Content-Length: 23\r\n\r\n", 0},
        {"a length in a cut line's tail",
         "GET /a.txt HTTP/1.0\r\nConnection: keep-alive\r\nCookie: " + std::string(1100, 'c') +
             "Content-Length: 23\r\n\r\n",
         2},
    };
    for (const auto& c : cases) {
        std::string reply = exchange(c.head + next);
        EXPECT_EQ(countOf(reply, "HTTP/1.0 200 OK"), c.answers) << c.what << ": " << reply;
    }
}

TEST_F(HostileRequests, EndlessHeadsAreClosedUnanswered) {
    start();
    std::string many = "GET /a.txt HTTP/1.0\r\n";
    for (int i = 0; i < 10000; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange(many + "\r\n"), "");
    EXPECT_EQ(exchange("GET /a.txt HTTP/1.0\r\nX-Long: " + std::string(10 << 20, 'x') + "\r\n\r\n"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
}

// Clients that trickle their heads a byte at a time hold a thread each for
// one read time-out at most, and a normal client is served meanwhile.
TEST_F(HostileRequests, TricklingClientsDoNotStopOthers) {
    start();
    // The normal client is accepted after every trickler, each on a thread
    // of its own; ThreadSanitizer makes thread starts so slow that 200 of
    // them alone take a second on a small machine.
#if defined(__SANITIZE_THREAD__)
    constexpr int kSlow = 50;
#else
    constexpr int kSlow = 200;
#endif
    std::vector<int> slow;
    for (int i = 0; i < kSlow; ++i) {
        int fd = test::connectLoopback(port);
        ASSERT_GE(fd, 0);
        test::sendText(fd, "GET /a.txt HTTP/1.0\r\n");
        slow.push_back(fd);
    }
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        for (int round = 0; round < 40 && !done; ++round) {
            for (int fd : slow) send(fd, "X", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            test::sleepMs(250);
        }
    });
    // Once every trickler holds a thread (a loaded machine may take a while
    // to start them all), the next client must still be served at once.
    test::eventually([&] { return engine->openConnections >= kSlow; }, 3000);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_NE(exchange("GET /a.txt HTTP/1.0\r\n\r\n").find("hello"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    // The head deadline (2 s) closes every trickler, unanswered.
    int closedUnanswered = 0;
    for (int fd : slow) closedUnanswered += test::readUntilClosed(fd, 6000).empty() && test::peerClosed(fd);
    done = true;
    trickle.join();
    for (int fd : slow) close(fd);
    EXPECT_EQ(closedUnanswered, kSlow);
}

// A body is stored as it arrives: announcing one costs nothing until it
// comes.
TEST_F(HostileRequests, AnnouncedBodiesCostNoMemoryUntilTheyArrive) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's shadow memory per thread hides what the server allocates";
#endif
    start("max_body_size=1048576");
    constexpr int kClients = 300;
    long before = test::residentKib();
    std::vector<int> clients;
    for (int i = 0; i < kClients; ++i) {
        int fd = test::connectLoopback(port);
        ASSERT_GE(fd, 0);
        test::sendText(fd, "POST /a.txt HTTP/1.0\r\nContent-Length: 1048576\r\n\r\nx");
        clients.push_back(fd);
    }
    ASSERT_TRUE(test::eventually([&] { return engine->openConnections == kClients; }, 10000));
    test::sleepMs(300);  // every thread is in its body read
    long grown = test::residentKib() - before;
    std::printf("resident memory grew by %ld KiB for %d announced 1 MiB bodies\n", grown, kClients);
    EXPECT_LT(grown, 100 * 1024);  // all of them at once would be 300 MiB
    for (int fd : clients) close(fd);
}

TEST_F(HostileRequests, FilesInDottedFoldersAndLongPasswords) {
    start();
    EXPECT_NE(exchange("GET /sub.d/file.txt HTTP/1.0\r\n\r\n").find("\r\n\r\nin a dotted folder\n"), std::string::npos);
    EXPECT_EQ(exchange("GET /sub.d HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 302", 0), 0u);  // the folder itself
    // ann:correct-horse-battery-staple, 28 characters of password
    EXPECT_NE(exchange("GET /private/secret.txt HTTP/1.0\r\nAuthorization: Basic "
                       "YW5uOmNvcnJlY3QtaG9yc2UtYmF0dGVyeS1zdGFwbGU=\r\n\r\n")
                  .find("\r\n\r\nsecret"),
              std::string::npos);
}

}  // namespace
}  // namespace qv
