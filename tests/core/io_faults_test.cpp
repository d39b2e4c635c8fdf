// Socket and file primitives when the system fails them, through the
// system-call seams: resets and short sends, interrupted calls, a disk that
// fills, and read time-outs crossed by moving the test clock.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "engine/core/files.h"
#include "engine/core/io.h"
#include "engine/platform/clock.h"
#include "engine/platform/syscalls.h"
#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::CapturedOutput;

// Fails the nth call of `op` with `error`; with error 0, shortens it to
// `bytes`.
struct Fault {
    SysOp op;
    int n;
    int error;
    std::size_t bytes = 0;
};

void arm(const std::vector<Fault>& faults) {
    for (const Fault& f : faults) {
        if (f.error != 0)
            failNthCall(f.op, f.n, f.error);
        else
            shortenNthCall(f.op, f.n, f.bytes);
    }
}

// Bytes whose every offset differs from its neighbours', so a repeated or
// skipped piece shows in a comparison.
std::string pattern(std::size_t size) {
    std::string s;
    for (std::size_t i = 0; i < size; ++i) s += static_cast<char>('!' + (i * 7 + i / 91) % 90);
    return s;
}

// A server-side Connection on a fresh loopback pair.
struct Peer {
    test::TcpPair pair;
    Connection conn;
    Peer() { conn.sock = pair.server; }
    ~Peer() { conn.sock = -1; }  // the pair closes it
    // Everything that reached the client once the server stops sending.
    std::string received() {
        shutdown(pair.server, SHUT_WR);
        return test::readUntilClosed(pair.client, 3000);
    }
};

struct IoFaults : ::testing::Test {
    test::TempFolder dir;
    CapturedOutput output;
    test::FaultsCleared cleared;
};

TEST_F(IoFaults, AFailedFlushKeepsOnlyTheBytesThatDidNotLeave) {
    struct Case {
        const char* name;
        std::vector<Fault> faults;
        int result;
        std::size_t leftBeforeFailure;
    };
    const Case cases[] = {
        {"reset before any byte", {{SysOp::kSend, 1, ECONNRESET}}, 1, 0},
        {"short send, then a broken pipe", {{SysOp::kSend, 1, 0, 1000}, {SysOp::kSend, 2, EPIPE}}, 1, 1000},
        {"interrupted, then sent", {{SysOp::kSend, 1, EINTR}}, 0, 5000},
        {"short sends only", {{SysOp::kSend, 1, 0, 1}, {SysOp::kSend, 2, 0, 999}}, 0, 5000},
    };
    const std::string data = pattern(5000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer;
        output.clear();
        ASSERT_EQ(sendBytes(peer.conn, data), 0);
        arm(c.faults);
        EXPECT_EQ(flushSend(peer.conn), c.result);
        EXPECT_EQ(peer.conn.bytesSent, c.leftBeforeFailure);
        EXPECT_EQ(peer.conn.sendLength, data.size() - c.leftBeforeFailure);
        EXPECT_EQ(output.count("Error sending str\r\n"), c.result);
        EXPECT_EQ(flushSend(peer.conn), 0);  // the rest, now that sends work
        EXPECT_EQ(peer.conn.bytesSent, data.size());
        EXPECT_EQ(peer.received(), data);  // every byte once, in order
    }
}

TEST_F(IoFaults, DataIsNeverSentPastABufferThatCouldNotLeave) {
    Peer peer;
    sendString(peer.conn, "head:");
    failNthCall(SysOp::kSend, 1, ECONNRESET);  // the flush
    EXPECT_EQ(sendBytes(peer.conn, std::string(8190, 'b')), 1);
    EXPECT_EQ(peer.conn.sendLength, 5u);
    failNthCall(SysOp::kSend, 2, ECONNRESET);  // the direct send after a good flush
    EXPECT_EQ(sendBytes(peer.conn, std::string(8190, 'c')), 1);
    EXPECT_EQ(sendBytes(peer.conn, std::string(8190, 'd')), 0);
    EXPECT_EQ(output.count("Error sending str\r\n"), 2);
    EXPECT_EQ(flushSend(peer.conn), 0);
    EXPECT_TRUE(peer.received() == "head:" + std::string(8190, 'd'));  // no 'b' or 'c' went out
}

TEST_F(IoFaults, FileSendsTellABrokenTransferFromAFileThatDidNotOpen) {
    const std::string body = pattern(30000);  // offered whole to each sendfile call
    const std::string path = dir.file("f.bin");
    test::writeFile(path, body);
    struct Case {
        const char* name;
        std::vector<Fault> faults;
        int result;
        bool headerLeft;
        std::size_t fileBytesOut;
        std::string diagnostic;  // empty: no failure is reported
    };
    const Case cases[] = {
        {"reset at once", {{SysOp::kSendfile, 1, ECONNRESET}}, kFileSendFailed, true, 0, "Error sending\r\n"},
        {"socket takes part, then the client resets",
         {{SysOp::kSendfile, 1, 0, 4000}, {SysOp::kSendfile, 2, ECONNRESET}}, kFileSendFailed, true, 4000,
         "Error sending\r\n"},
        {"socket takes the file in parts", {{SysOp::kSendfile, 1, 0, 4000}, {SysOp::kSendfile, 2, 0, 10000}},
         kFileSent, true, 30000, ""},
        {"interrupted send", {{SysOp::kSendfile, 1, EINTR}}, kFileSent, true, 30000, ""},
        {"header cannot leave", {{SysOp::kSend, 1, ECONNRESET}}, kFileSendFailed, false, 0, "Error sending str\r\n"},
        {"no descriptor left", {{SysOp::kOpen, 1, EMFILE}}, kFileNotOpened, true, 0,
         "Error opening file '" + path + "'\r\n  Too many open files\r\n"},
        {"interrupted open", {{SysOp::kOpen, 1, EINTR}}, kFileSent, true, 30000, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer;
        output.clear();
        sendString(peer.conn, "HEADER\r\n");
        arm(c.faults);
        EXPECT_EQ(sendFile(peer.conn, path), c.result);
        const std::string expected = (c.headerLeft ? "HEADER\r\n" : "") + body.substr(0, c.fileBytesOut);
        EXPECT_EQ(peer.conn.bytesSent, expected.size());
        EXPECT_EQ(peer.conn.sendLength, c.headerLeft ? 0u : 8u);
        if (c.diagnostic.empty())
            EXPECT_FALSE(output.contains("Error")) << output.joined();
        else
            EXPECT_EQ(output.count(c.diagnostic), 1) << output.joined();
        discardSend(peer.conn);
        EXPECT_EQ(peer.received(), expected);
    }
}

TEST_F(IoFaults, ReceiveFileReportsAFullDiskAndBrokenUploads) {
    const std::string upload = pattern(1000);  // received in pieces of 299 bytes
    const std::string path = dir.file("up");
    struct Case {
        const char* name;
        std::vector<Fault> faults;
        int64_t result;
        std::string diagnostic;
    };
    const Case cases[] = {
        {"disk fills on the second piece", {{SysOp::kWrite, 2, ENOSPC}}, -1,
         "Error writing to file.\r\n  No space left on device\r\n"},
        {"short write", {{SysOp::kWrite, 1, 0, 100}}, -1, "Error writing to file.\r\n  Did not write all the bytes.\r\n"},
        {"interrupted write", {{SysOp::kWrite, 1, EINTR}}, 1000, "\r\n - 1000 bytes were read.\r\n"},
        {"first receive reset", {{SysOp::kRecv, 1, ECONNRESET}}, -1, "SOCKET_ERROR on receive file 1\r\n"},
        {"later receive reset", {{SysOp::kRecv, 2, ECONNRESET}}, -1, "SOCKET_ERROR on receive file 2\r\n"},
        {"interrupted receive", {{SysOp::kRecv, 1, EINTR}}, 1000, "\r\n - 1000 bytes were read.\r\n"},
        {"file cannot be made", {{SysOp::kOpen, 1, EACCES}}, -1,
         "Error creating file '" + path + "'\r\n  Permission denied\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer;
        output.clear();
        test::sendText(peer.pair.client, upload);
        shutdown(peer.pair.client, SHUT_WR);
        arm(c.faults);
        EXPECT_EQ(receiveFile(peer.conn, path, 1 << 30), c.result);
        EXPECT_TRUE(output.contains(c.diagnostic)) << output.joined();
        if (c.result > 0) {
            EXPECT_EQ(test::readFile(path), upload);
        }
    }
}

TEST_F(IoFaults, AnAppendThatFailsLeavesNoTornLineAndTheNextOneWorks) {
    const std::string log = dir.file("access.log");
    const std::vector<std::string> writeTrouble = {"UNABLE TO WRITE TO TEMP FILE!  [", log, "]\r\n",
                                                   "  Check your TempDir config. Check your disk space.\r\n"};
    std::vector<std::string> openTrouble = writeTrouble;
    openTrouble.push_back("  If the file does not exist, try creating it.\r\n");
    struct Case {
        const char* name;
        std::vector<Fault> faults;
        int result;
        std::vector<std::string> texts;
    };
    const Case cases[] = {
        {"disk full", {{SysOp::kWrite, 1, ENOSPC}}, -1, writeTrouble},
        {"short write, then disk full", {{SysOp::kWrite, 1, 0, 4}, {SysOp::kWrite, 2, ENOSPC}}, -1, writeTrouble},
        {"file cannot be opened", {{SysOp::kOpen, 1, EACCES}}, -1, openTrouble},
        {"interrupted write", {{SysOp::kWrite, 1, EINTR}}, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeFile(log, "one\r\n");
        output.clear();
        arm(c.faults);
        EXPECT_EQ(appendToFile(log, "GET /a.htm 200\r\n"), c.result);
        EXPECT_EQ(output.texts(), c.texts);
        const std::string kept = c.result == 0 ? "one\r\nGET /a.htm 200\r\n" : "one\r\n";
        EXPECT_EQ(test::readFile(log), kept);
        EXPECT_EQ(appendToFile(log, "two\r\n"), 0);
        EXPECT_EQ(test::readFile(log), kept + "two\r\n");
    }
}

TEST_F(IoFaults, FilesMadeWholeReportAFullDisk) {
    const std::string path = dir.file("work");
    failNthCall(SysOp::kWrite, 1, ENOSPC);
    EXPECT_EQ(CreateFileWith(path, "x=1"), -1);
    EXPECT_TRUE(output.contains("CreateFileWith: Error writing to file file '" + path +
                                "'\r\n  No space left on device\r\n"));
    shortenNthCall(SysOp::kWrite, 1, 1);  // a short write alone is finished by the next one
    EXPECT_EQ(createTempFile(path, "x=1"), 0);
    EXPECT_EQ(test::readFile(path), "x=1");
    failNthCall(SysOp::kWrite, 1, ENOSPC);
    EXPECT_EQ(createTempFile(path, "x=1"), -1);
    EXPECT_TRUE(output.contains("UNABLE TO CREATE TEMP FILE!  ["));
}

// Reads whose limit is crossed by moving the test clock: each must end as
// soon as the clock passes its limit, whatever the real time.
TEST_F(IoFaults, MovingTheClockPastALimitEndsTheWaitAtOnce) {
    struct Case {
        const char* name;
        std::function<int64_t(Connection&)> wait;
        SteadyClock::duration limit;
        int64_t result;
        const char* diagnostic;
    };
    char buffer[257];
    const std::string path = dir.file("upload");
    const Case cases[] = {
        {"line read", [&](Connection& c) { return readSocket(c, buffer, true, 60); }, std::chrono::seconds(60), -2,
         "Connection timed out on read.\r\n"},
        {"raw read", [&](Connection& c) { return readSocket(c, buffer, false, 60); }, std::chrono::seconds(60), -2,
         "Connection timed out on read.\r\n"},
        {"stalled upload", [&](Connection& c) { return receiveFile(c, path, 1 << 30); },
         std::chrono::seconds(kTransferStallSeconds), -1, "SOCKET_ERROR on receive file 1\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer;
        output.clear();
        TestClock clock;
        const auto start = SteadyClock::now();
        auto waiting = std::async(std::launch::async, [&] { return c.wait(peer.conn); });
        // Moved again until the wait ends, since it may take its deadline
        // from the clock after the first move.
        bool ended = test::eventually([&] {
            clock.advance(c.limit + std::chrono::seconds(1));
            return waiting.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        });
        if (!ended) shutdown(peer.pair.client, SHUT_WR);  // ends the wait, so the test fails instead of hanging
        ASSERT_TRUE(ended);
        EXPECT_EQ(waiting.get(), c.result);
        EXPECT_TRUE(output.contains(c.diagnostic)) << output.joined();
        EXPECT_LT(SteadyClock::now() - start, std::chrono::seconds(5));
    }
}

TEST_F(IoFaults, ALineThatArrivesBeforeTheLimitIsRead) {
    Peer peer;
    TestClock clock;
    char buffer[257];
    auto reading = std::async(std::launch::async, [&] { return readSocket(peer.conn, buffer, true, 60); });
    clock.advance(std::chrono::seconds(59));
    failNthCall(SysOp::kRecv, 1, EINTR);  // a signal on the way changes nothing either
    test::sendText(peer.pair.client, "USER ann\r\n");
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(reading.get(), 8);
    EXPECT_STREQ(buffer, "USER ann");
    EXPECT_FALSE(output.contains("timed out"));
}

}  // namespace
}  // namespace qv
