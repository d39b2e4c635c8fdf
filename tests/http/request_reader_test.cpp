// Reading requests from a real loopback connection.
#include "engine/http/request_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sys/socket.h>
#include <thread>

#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

struct RequestReading : ::testing::Test {
    test::TcpPair pair;
    Connection conn;
    HttpRequest request;
    test::CapturedOutput output;
    void SetUp() override { conn.sock = pair.server; }
    void TearDown() override { conn.sock = -1; }
    // Sends the pieces with a pause between them, as separate segments.
    std::thread sendInPieces(std::vector<std::string> pieces) {
        return std::thread([this, pieces] {
            for (const auto& p : pieces) {
                test::sendText(pair.client, p);
                test::sleepMs(40);
            }
        });
    }
};

TEST_F(RequestReading, RequestSplitAcrossSegmentsIsReadWhole) {
    auto writer = sendInPieces({"GET /a.h", "tm HTTP/1.0\r\nUser-Ag", "ent: test\r\n", "\r\n"});
    HeadBudget budget = headBudget(2);
    EXPECT_EQ(readRequestLine(conn, request, budget), 19);
    EXPECT_EQ(request.requestLine, "GET /a.htm HTTP/1.0");
    EXPECT_EQ(readHeaders(conn, request, budget, 0), 0);
    EXPECT_EQ(request.userAgent, "test");
    EXPECT_TRUE(request.endOfHeaders);
    writer.join();
}

// The tail of a cut line must never pass for a line of its own: here it
// would be a header announcing a body that swallows the next request.
TEST_F(RequestReading, OverlongLinesAreCutAndTheirTailsDropped) {
    const std::string tail = "Content-Length: 40";
    test::sendText(pair.client, "GET /" + std::string(1100, 'a') + " HTTP/1.0\r\nCookie: " + std::string(1100, 'c') +
                                    tail + "\r\n" + std::string(1023, 'r') + "\r\nUser-Agent: ua\r\n\r\n");
    HeadBudget budget = headBudget(2);
    EXPECT_EQ(readRequestLine(conn, request, budget), 1024);
    EXPECT_EQ(readHeaders(conn, request, budget, 0), 0);
    EXPECT_EQ(request.contentLength, 0);
    EXPECT_FALSE(request.headers.value(tail.substr(0, 14)));
    EXPECT_EQ(request.userAgent, "ua");  // a 1023-character line and its CR LF stay one line
}

// Past any limit of the head, the request is refused: the caller closes.
TEST_F(RequestReading, HeadLimitsRefuseTheRequest) {
    struct Case {
        const char* what;
        std::string head;
    } cases[] = {
        {"101 header lines", [] {
             std::string h;
             for (int i = 0; i < 101; ++i) h += "X-" + std::to_string(i) + ": v\r\n";
             return h + "\r\n";
         }()},
        {"a head over 64 KiB", "X-Big: " + std::string(70000, 'b') + "\r\n\r\n"},
        {"a folded line", "Accept: text/html\r\n  Content-Length: 5\r\n\r\n"},
        {"a Transfer-Encoding", "Transfer-Encoding: chunked\r\n\r\n"},
        {"a malformed length", "Content-Length: 39abc\r\n\r\n"},
        {"two lengths", "Content-Length: 3\r\nContent-Length: 4\r\n\r\n"},
    };
    for (const auto& c : cases) {
        test::TcpPair fresh;
        Connection conn2;
        conn2.sock = fresh.server;
        HttpRequest r;
        std::thread writer([&] { test::sendText(fresh.client, c.head); });
        HeadBudget budget = headBudget(2);
        EXPECT_EQ(readHeaders(conn2, r, budget, 0), kHeadRefused) << c.what;
        writer.join();
        conn2.sock = -1;
    }
}

// A client that sends a byte now and then still gets one time-out for its
// whole head, not one for every byte.
TEST_F(RequestReading, TheHeadHasOneDeadline) {
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (int i = 0; i < 40 && !stop; ++i) {
            test::sendText(pair.client, "X");
            test::sleepMs(100);
        }
    });
    auto start = std::chrono::steady_clock::now();
    HeadBudget budget = headBudget(1);
    EXPECT_EQ(readHeaders(conn, request, budget, 0), kHeadRefused);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    stop = true;
    trickle.join();
}

TEST_F(RequestReading, BodyInSeveralPiecesArrivesWhole) {
    std::string body(70000, 'b');  // more than 64 KiB: nothing is taken modulo 65,536
    body[0] = 'S';
    body.back() = 'E';
    std::vector<std::string> pieces = {"Content-Length: 70000\r\n\r\n", body.substr(0, 10), body.substr(10, 40000),
                                       body.substr(40010) + "\r\n"};
    auto writer = sendInPieces(pieces);
    HeadBudget budget = headBudget(2);
    EXPECT_EQ(readHeaders(conn, request, budget, 0), 0);
    EXPECT_EQ(readRequestBody(conn, request, 2, 1 << 20), 0);
    writer.join();
    ASSERT_TRUE(request.body);
    EXPECT_EQ(*request.body, body);
    // The CR LF some browsers add after a body is eaten; the next request is not.
    test::sendText(pair.client, "GET /next HTTP/1.0\r\n");
    HeadBudget next = headBudget(2);
    EXPECT_EQ(readRequestLine(conn, request, next), 18);
}

TEST_F(RequestReading, BodyOverTheLimitIsRefusedUnread) {
    test::sendText(pair.client, "Content-Length: 2000\r\n\r\n" + std::string(2000, 'x'));
    HeadBudget budget = headBudget(2);
    readHeaders(conn, request, budget, 0);
    EXPECT_EQ(readRequestBody(conn, request, 2, 1000), kBodyTooLarge);
    EXPECT_EQ(request.status, 500);
    EXPECT_FALSE(request.body);
}

TEST_F(RequestReading, ShortBodyIsIncompleteNotHalfProcessed) {
    test::sendText(pair.client, "Content-Length: 100\r\n\r\nonly this");
    shutdown(pair.client, SHUT_WR);
    HeadBudget budget = headBudget(2);
    readHeaders(conn, request, budget, 0);
    EXPECT_EQ(readRequestBody(conn, request, 2, 1000), kBodyIncomplete);
    EXPECT_FALSE(request.body);
}

}  // namespace
}  // namespace qv
