// Reading requests from a real loopback connection.
#include "engine/http/request_reader.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(readRequestLine(conn, request, 2), 19);
    EXPECT_EQ(request.requestLine, "GET /a.htm HTTP/1.0");
    readHeaders(conn, request, 2, 0);
    EXPECT_EQ(request.userAgent, "test");
    EXPECT_TRUE(request.endOfHeaders);
    writer.join();
}

TEST_F(RequestReading, OverlongRequestLineIsCutAndItsRestReadNext) {
    test::sendText(pair.client, "GET /" + std::string(1100, 'a') + " HTTP/1.0\r\n");
    EXPECT_EQ(readRequestLine(conn, request, 2), 1024);
    EXPECT_EQ(request.requestLine.size(), 1024u);
    EXPECT_EQ(readRequestLine(conn, request, 2), 1100 + 5 + 9 - 1024);
}

TEST_F(RequestReading, SilentClientEndsTheHeaderPhaseNotTheRequest) {
    test::sendText(pair.client, "Referer: http://x/\r\n");
    readHeaders(conn, request, 1, 0);
    EXPECT_EQ(request.referer, "http://x/");
    EXPECT_FALSE(request.endOfHeaders);
}

TEST_F(RequestReading, BodyInSeveralPiecesArrivesWhole) {
    std::string body(70000, 'b');  // more than 64 KiB: nothing is taken modulo 65,536
    body[0] = 'S';
    body.back() = 'E';
    std::vector<std::string> pieces = {"Content-Length: 70000\r\n\r\n", body.substr(0, 10), body.substr(10, 40000),
                                       body.substr(40010) + "\r\n"};
    auto writer = sendInPieces(pieces);
    readHeaders(conn, request, 2, 0);
    EXPECT_EQ(readRequestBody(conn, request, 2, 1 << 20), 0);
    writer.join();
    ASSERT_TRUE(request.body);
    EXPECT_EQ(*request.body, body);
    // The CR LF some browsers add after a body is eaten; the next request is not.
    test::sendText(pair.client, "GET /next HTTP/1.0\r\n");
    EXPECT_EQ(readRequestLine(conn, request, 2), 18);
}

TEST_F(RequestReading, BodyOverTheLimitIsRefusedUnread) {
    test::sendText(pair.client, "Content-Length: 2000\r\n\r\n" + std::string(2000, 'x'));
    readHeaders(conn, request, 2, 0);
    EXPECT_EQ(readRequestBody(conn, request, 2, 1000), kBodyTooLarge);
    EXPECT_EQ(request.status, 500);
    EXPECT_FALSE(request.body);
}

TEST_F(RequestReading, ShortBodyIsIncompleteNotHalfProcessed) {
    test::sendText(pair.client, "Content-Length: 100\r\n\r\nonly this");
    shutdown(pair.client, SHUT_WR);
    readHeaders(conn, request, 2, 0);
    EXPECT_EQ(readRequestBody(conn, request, 2, 1000), kBodyIncomplete);
    EXPECT_FALSE(request.body);
}

}  // namespace
}  // namespace qv
