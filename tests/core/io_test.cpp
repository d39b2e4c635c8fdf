// Socket and file primitives, over real loopback TCP connections.
#include "engine/core/io.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <chrono>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "engine/core/files.h"
#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::CapturedOutput;
using test::TcpPair;

struct LineRead : ::testing::Test {
    TcpPair pair;
    Connection conn;
    char buffer[257] = {};
    CapturedOutput output;

    void SetUp() override { conn.sock = pair.server; }
    void TearDown() override { conn.sock = -1; }  // the pair closes it
    int readLine(std::size_t size, int timeout = 2) {
        return readSocket(conn, std::span<char>(buffer, size + 1), true, timeout);
    }
    // What the next raw read returns: the bytes a line read left behind.
    std::string remaining() {
        char rest[257];
        int n = readSocket(conn, rest, false, 1);
        return n > 0 ? std::string(rest, static_cast<std::size_t>(n)) : std::string();
    }
};

TEST_F(LineRead, ReturnsFirstLineAndLeavesTheNextForTheNextRead) {
    test::sendText(pair.client, "GET / HTTP/1.0\r\nHost: x\r\n");
    test::sleepMs(20);  // both lines arrived before the read
    EXPECT_EQ(readLine(256), 14);
    EXPECT_STREQ(buffer, "GET / HTTP/1.0");
    EXPECT_EQ(remaining(), "Host: x\r\n");
}

TEST_F(LineRead, LineEndsAreRemovedOnlyFromTwoBytesOn) {
    test::sendText(pair.client, "\r\n");
    EXPECT_EQ(readLine(256), 0);
    EXPECT_STREQ(buffer, "");
    test::sendText(pair.client, "\n");
    EXPECT_EQ(readLine(256), 1);
    EXPECT_STREQ(buffer, "\n");
    test::sendText(pair.client, "ab\r");  // no line feed yet: the read waits for it
    test::sleepMs(20);
    test::sendText(pair.client, "\n");
    EXPECT_EQ(readLine(256), 2);
    EXPECT_STREQ(buffer, "ab");
}

TEST_F(LineRead, FullBufferStopsTheLineAndDropsAFinalCarriageReturn) {
    test::sendText(pair.client, std::string(9, 'x') + "\r" + std::string(20, 'y'));
    EXPECT_EQ(readLine(10), 9);
    EXPECT_EQ(std::string(buffer), std::string(9, 'x'));
    EXPECT_EQ(remaining(), std::string(20, 'y'));
}

TEST_F(LineRead, LineSplitAcrossSegmentsArrivesWhole) {
    std::thread writer([&] {
        for (const char* piece : {"GE", "T /a", " HTTP/1.0", "\r", "\n"}) {
            test::sendText(pair.client, piece);
            test::sleepMs(30);
        }
    });
    EXPECT_EQ(readLine(256), 15);
    EXPECT_STREQ(buffer, "GET /a HTTP/1.0");
    writer.join();
}

TEST_F(LineRead, DataIsReturnedAsSoonAsItArrives) {
    std::thread writer([&] {
        test::sleepMs(1);
        test::sendText(pair.client, "QUIT\r\n");
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readLine(256, 5), 4);
    auto took = std::chrono::steady_clock::now() - start;
    writer.join();
    // Far below the old half-second polling step.
    EXPECT_LT(took, std::chrono::milliseconds(250));
}

TEST_F(LineRead, SilenceTimesOutAndAClosedPeerIsAnErrorAtOnce) {
    EXPECT_EQ(readLine(256, 1), -2);
    EXPECT_TRUE(output.contains("Connection timed out on read.\r\n"));

    test::sendText(pair.client, "half a line");
    shutdown(pair.client, SHUT_WR);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readLine(256, 30), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(LineRead, TimeOutCountsFromZeroForEachChunk) {
    // Three chunks 600 ms apart with a 1 s limit: each chunk is within the
    // limit although the whole line takes longer.
    std::thread writer([&] {
        for (const char* piece : {"a", "b", "c\n"}) {
            test::sleepMs(600);
            test::sendText(pair.client, piece);
        }
    });
    EXPECT_EQ(readLine(256, 1), 3);
    writer.join();
}

TEST(RawRead, ReturnsWhatOneReceiveBringsAndZeroAtEnd) {
    TcpPair pair;
    Connection conn;
    conn.sock = pair.server;
    char buf[16];
    test::sendText(pair.client, "hello");
    EXPECT_EQ(readSocket(conn, buf, false, 2), 5);
    EXPECT_STREQ(buf, "hello");
    shutdown(pair.client, SHUT_WR);
    EXPECT_EQ(readSocket(conn, buf, false, 2), 0);
    EXPECT_EQ(readSocket(conn, std::span<char>(), false, 2), -1);
    conn.sock = -1;
}

struct Sending : ::testing::Test {
    TcpPair pair;
    Connection conn;
    test::TempFolder dir;
    void SetUp() override { conn.sock = pair.server; }
    void TearDown() override { conn.sock = -1; }
    std::string received() {
        shutdown(pair.server, SHUT_WR);
        return test::readUntilClosed(pair.client, 3000);
    }
};

TEST_F(Sending, SmallSendsCollectAndLargeOnesBypassUncounted) {
    EXPECT_EQ(sendBytes(conn, std::string(200, 'a')), 0);
    EXPECT_EQ(conn.sendLength, 200u);
    EXPECT_EQ(conn.bytesSent, 0u);
    EXPECT_EQ(sendBytes(conn, std::string(8000, 'b')), 0);
    EXPECT_EQ(conn.sendLength, 0u);
    EXPECT_EQ(conn.bytesSent, 200u);  // only the flushed bytes count
    EXPECT_EQ(received(), std::string(200, 'a') + std::string(8000, 'b'));
}

TEST_F(Sending, BinaryDataStartingWithNulIsSent) {
    std::string data("\0\0\1\0", 4);
    EXPECT_EQ(sendBytes(conn, data), 0);
    EXPECT_EQ(flushSend(conn), 0);
    EXPECT_EQ(received(), data);
}

TEST_F(Sending, FileGoesOutWholeAfterTheBufferedHeader) {
    std::string body;
    for (int i = 0; i < 30000; ++i) body += static_cast<char>('a' + i % 26);
    test::writeFile(dir.file("f.bin"), body);
    sendString(conn, "HEADER\r\n");
    std::string got;
    std::thread reader([&] { got = test::readUntilClosed(pair.client, 5000); });
    EXPECT_EQ(sendFile(conn, dir.file("f.bin")), 0);
    EXPECT_EQ(conn.bytesSent, 8u + body.size());
    shutdown(pair.server, SHUT_WR);
    reader.join();
    EXPECT_EQ(got, "HEADER\r\n" + body);
}

TEST_F(Sending, EmptyOrMissingFileIsRefused) {
    CapturedOutput output;
    test::writeFile(dir.file("empty"), "");
    EXPECT_EQ(sendFile(conn, dir.file("empty")), 1);
    EXPECT_TRUE(output.contains("Error opening file (filesize < 0)'" + dir.file("empty") + "'\r\n"));
    EXPECT_EQ(sendFile(conn, dir.file("missing")), 1);
    EXPECT_TRUE(output.contains("Error opening file '" + dir.file("missing") + "'\r\n  No such file"));
    EXPECT_EQ(received(), "");
}

TEST_F(Sending, ReceiveFileStoresEverythingUntilThePeerCloses) {
    CapturedOutput output;
    std::string upload(5000, 'u');
    test::sendText(pair.client, upload);
    shutdown(pair.client, SHUT_WR);
    EXPECT_EQ(receiveFile(conn, dir.file("up"), 1 << 30), 5000);
    EXPECT_EQ(test::readFile(dir.file("up")), upload);
    EXPECT_TRUE(output.contains(" bytes were read.\r\n"));
    EXPECT_EQ(receiveFile(conn, dir.file("no/such/folder"), 1 << 30), -1);
}

TEST_F(Sending, ReceiveFileRefusesAFileOverItsLimit) {
    CapturedOutput output;
    test::sendText(pair.client, std::string(5000, 'u'));
    shutdown(pair.client, SHUT_WR);
    EXPECT_EQ(receiveFile(conn, dir.file("big"), 4096), -1);
    EXPECT_TRUE(output.contains("The file is larger than the upload limit.\r\n"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("big")));  // nothing half stored stays
}

TEST(FileUtilities, CreateAppendAndFolderTests) {
    test::TempFolder dir;
    CapturedOutput output;
    std::string log = dir.file("a.log");
    EXPECT_EQ(appendToFile(log, std::nullopt), 0);
    EXPECT_EQ(access(log.c_str(), F_OK), -1);  // no text: nothing created
    EXPECT_EQ(appendToFile(log, "one\r\n"), 0);
    EXPECT_TRUE(output.contains("\r\nCREATING TEMP FILE ["));
    output.clear();
    EXPECT_EQ(appendToFile(log, "two\r\n"), 0);
    EXPECT_FALSE(output.contains("CREATING"));
    EXPECT_EQ(test::readFile(log), "one\r\ntwo\r\n");

    EXPECT_EQ(CreateFileWith(dir.file("w"), std::string("a\0b", 3)), 0);
    EXPECT_EQ(test::readFile(dir.file("w")), std::string("a\0b", 3));
    EXPECT_EQ(Createfile(dir.file("w")), 0);
    EXPECT_EQ(test::readFile(dir.file("w")), "");
    EXPECT_EQ(createTempFile(dir.file("t"), "x=1"), 0);
    EXPECT_EQ(test::readFile(dir.file("t")), "x=1");

    output.clear();
    EXPECT_LT(createTempFile(dir.file("none/t"), "x"), 0);
    auto texts = output.texts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], "UNABLE TO CREATE TEMP FILE!  [");
    EXPECT_EQ(texts[3], "  Check your TempDir config. Check your disk space.\r\n");
    EXPECT_EQ(Createfile(dir.file("none/t")), -1);

    EXPECT_EQ(folderExists(dir.path()), 1);
    EXPECT_EQ(folderExists(dir.path() + "/"), 1);
    EXPECT_EQ(folderExists(dir.file("missing")), 0);
    EXPECT_EQ(folderExists(""), 0);
}

}  // namespace
}  // namespace qv
