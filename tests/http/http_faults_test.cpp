// Responses that break off: a client that resets in the middle of a file,
// a page or a folder listing.  The engine reports the failed send once,
// ends that connection even when keep-alive was granted, and serves the
// next client whole.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/core/engine.h"
#include "engine/platform/syscalls.h"
#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

std::string bodyOf(const std::string& reply) {
    auto end = reply.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

struct HttpFaults : ::testing::Test {
    test::TempFolder etc, run, site;
    test::CapturedOutput output;
    test::FaultsCleared cleared;
    EnginePtr engine;
    int port = 0;
    std::string file;  // 64 KiB: eight chunks

    void SetUp() override {
        namespace fs = std::filesystem;
        fs::create_directories(site.file("www/list"));
        for (int i = 0; i < 64 * 1024; ++i) file += static_cast<char>('a' + i % 23);
        test::writeFile(site.file("www/big.bin"), file);
        std::string page;
        for (int i = 0; i < 400; ++i) page += "A line of a long page, number " + std::to_string(i) + ".\r\n";
        test::writeFile(site.file("www/page.htm"), page);
        // About 300 rows of some 150 bytes: the listing fills the send
        // buffer several times.
        for (int i = 0; i < 300; ++i) test::writeFile(site.file("www/list/file" + std::to_string(i) + ".txt"), "x");
        engine = test::startEngine(etc, run,
                                   "[Options]\nhostname=testhost\nwebdirbrowsing=1\nkeep_alive=1\nbuffsize=8192\n"
                                   "[Extensions]\nMap1=HTM h text/html\nMap2=TXT 0 text/plain\n[Multi]\n"
                                   "server1=httpd\nport1=0\ndir1=" + site.file("www") + "\n");
        port = serverPort(*engine, 1);
    }
    // The reply, and whether the server closed the connection after it.
    std::string get(const std::string& path, bool keepAlive, bool& closed) {
        int fd = test::connectLoopback(port);
        test::sendText(fd, "GET " + path + " HTTP/1.0\r\n" + (keepAlive ? "Connection: keep-alive\r\n" : "") + "\r\n");
        std::string reply = test::readUntilClosed(fd, 3000);
        closed = test::peerClosed(fd);
        close(fd);
        return reply;
    }
};

TEST_F(HttpFaults, AResetInTheMiddleIsReportedOnceAndEndsOnlyThatConnection) {
    struct Case {
        const char* name;
        const char* path;
        SysOp op;
        int failingCall;
        const char* diagnostic;
        std::size_t firstCallTakes = 0;  // the first call of the kind moves only this much (0: all)
    };
    const Case cases[] = {
        {"file, after its first 16 KiB", "/big.bin", SysOp::kSendfile, 2, "Error sending\r\n", 16384},
        // The header is flushed, then the page goes out directly.
        {"page of a keep-alive response", "/page.htm", SysOp::kSend, 2, "Error sending str\r\n"},
        {"folder listing, on its second send", "/list/", SysOp::kSend, 2, "Error sending str\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        output.clear();
        if (c.firstCallTakes) shortenNthCall(c.op, 1, c.firstCallTakes);
        failNthCall(c.op, c.failingCall, ECONNRESET);
        bool closed = false;
        std::string broken = bodyOf(get(c.path, true, closed));
        EXPECT_TRUE(closed);
        EXPECT_EQ(output.count(c.diagnostic), 1) << output.joined();
        EXPECT_EQ(output.count("Error sending"), 1) << output.joined();

        std::string whole = bodyOf(get(c.path, false, closed));
        EXPECT_GT(whole.size(), broken.size());
        EXPECT_TRUE(whole.compare(0, broken.size(), broken) == 0);  // what came was right, in order
        EXPECT_EQ(output.count("Error sending"), 1);
    }
}

TEST_F(HttpFaults, AClientThatResetsInTheMiddleOfALargeFile) {
    // Far larger than the loopback socket buffers, so the server is still
    // sending when the reset arrives; sparse, so it costs no disk.
    std::filesystem::resize_file(site.file("www/big.bin"), 64u << 20);
    int fd = test::connectLoopback(port);
    test::sendText(fd, "GET /big.bin HTTP/1.0\r\n\r\n");
    std::string got;
    ASSERT_TRUE(test::eventually([&] {
        char buf[16384];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        return got.size() >= (64u << 10);
    }));
    test::resetAndClose(fd);
    EXPECT_TRUE(test::eventually([&] { return output.contains("Error sending\r\n"); }));

    std::filesystem::resize_file(site.file("www/big.bin"), file.size());
    bool closed = false;
    EXPECT_TRUE(bodyOf(get("/big.bin", false, closed)) == file);
    EXPECT_EQ(output.count("Error sending"), 1) << output.joined();
}

}  // namespace
}  // namespace qv
