// The status page asked for while the engine is still starting: it lists
// every configured server, and (under ThreadSanitizer) start-up never writes
// what a connection thread reads once the first server accepts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <unistd.h>

#include "engine/core/engine.h"
#include "tests/support/net.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

constexpr int kServers = 24;

int countOf(const std::string& text, const std::string& piece) {
    int n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

TEST(StatusDuringStartUp, EveryAnswerListsTheWholeTable) {
    test::TempFolder etc, run;
    test::CapturedOutput output;
    const int port = test::freePort();
    std::string ini = "[Multi]\n";
    for (int n = 1; n <= kServers; ++n) {
        std::string num = std::to_string(n);
        ini += "server" + num + "=httpd\nip" + num + "=127.0.0.1\nport" + num + "=" +
               std::to_string(n == 1 ? port : 0) + "\n";
    }
    test::writeFile(etc.file("quorvane.ini"), ini + "server" + std::to_string(kServers + 1) + "=none\n");
    EnginePtr engine = createEngine({etc.path(), run.path(), {}, nullptr});

    std::vector<std::string> pages;
    std::thread asker([&] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (pages.size() < 20 && std::chrono::steady_clock::now() < deadline) {
            int fd = test::connectLoopback(port);
            if (fd < 0) continue;  // not listening yet
            test::sendText(fd, "GET /~status HTTP/1.0\r\n\r\n");
            pages.push_back(test::readUntilClosed(fd, 5000));
            close(fd);
        }
    });
    EXPECT_EQ(startServers(*engine), 0);
    asker.join();
    ASSERT_FALSE(pages.empty());
    for (const std::string& page : pages) EXPECT_EQ(countOf(page, "<tr><td><a href=http://"), kServers);
    signalShutdown(*engine);
    stopServers(*engine);
}

}  // namespace
}  // namespace qv
