// Hit counters: the stored formats, what a page shows, and exact counts
// when many clients and two engines count one page.
#include "engine/http/hit_counts.h"
#include "engine/http/hit_count_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <unistd.h>

#include "engine/core/engine.h"
#include "engine/platform/profile.h"
#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

// Two stores (two engines) write their hits into one file: every hit adds,
// and the entry keeps the start date it was made with.
TEST(HitCountStoreTest, WaitingHitsAddToWhatTheFileHolds) {
    test::TempFolder run, logs;
    const std::string file = logs.file("counts.qvx");
    HitCountStore one(run.path()), two(run.path());
    for (int i = 0; i < 3; ++i) one.add(HitCountStore::Kind::kCentral, file, "/a", "first date");
    EXPECT_EQ(one.waiting(HitCountStore::Kind::kCentral, file, "/a").hits, 3);
    two.add(HitCountStore::Kind::kCentral, file, "/a", "second date");
    one.flush();
    two.flush();
    const std::string value = ProfileFile(file).getString("Commands", "/a", "", 512);
    EXPECT_EQ(value, centralCountValue(4, "/a", "first date"));
    EXPECT_EQ(one.waiting(HitCountStore::Kind::kCentral, file, "/a").hits, 0);
}

TEST(HitCountFormat, CountLeftAlignedThenPaddingToFortyThenDate) {
    const std::string date = "Sun Dec  6 19:14:54 2026";
    EXPECT_EQ(centralCountValue(7, "/a.htm", date), "7         " + std::string(34, ' ') + date);
    EXPECT_EQ(centralCountValue(123456789, std::string(45, 'k'), date), "123456789 " + date);
    EXPECT_EQ(centralCountValue(1234567890, std::string(40, 'k'), date), "1234567890 " + date);
}

struct HitCounts : ::testing::Test {
    test::TempFolder etc, run, site, logs;
    EnginePtr engine;
    int port = 0;

    void SetUp() override {
        test::writeFile(site.file("count.htm"), "Hits: $hit_count\n");
        std::filesystem::create_directories(site.file("local"));
        test::writeFile(site.file("local/page.htm"), "Local: $hit_count\n");
        test::writeFile(site.file("local/access.qac"), "[counts]\npage.htm=5\n");
    }
    std::string ini(const std::string& options = "") const {
        return "[Options]\nlogdir=" + logs.path() + "/\n" + options +
               "\n[Extensions]\nMap1=HTM h text/html\n[Multi]\nserver1=httpd\nport1=0\ndir1=" + site.path() +
               "/\nserver2=none\n";
    }
    void start(const std::string& options = "") {
        engine = test::startEngine(etc, run, ini(options));
        port = serverPort(*engine, 1);
    }
    std::string body(const std::string& path, int onPort = 0) {
        int fd = test::connectLoopback(onPort ? onPort : port);
        test::sendText(fd, "GET " + path + " HTTP/1.0\r\n\r\n");
        std::string reply = test::readUntilClosed(fd, 5000);
        close(fd);
        return reply.substr(reply.find("\r\n\r\n") + 4);
    }
    std::string central(const std::string& key) const {
        return ProfileFile(logs.file("counts.qvx")).getString("Commands", key, "", 512);
    }
};

TEST_F(HitCounts, APageShowsTheCountBeforeItsOwnHit) {
    start();
    EXPECT_EQ(body("/count.htm"), "Hits: 0\n");
    EXPECT_EQ(body("/count.htm"), "Hits: 1\n");
    EXPECT_EQ(body("/count.htm"), "Hits: 2\n");  // counted, whether written yet or not
    ASSERT_TRUE(test::eventually([&] { return central("/count.htm").rfind("3 ", 0) == 0; }));
    body("/missing.htm");  // a miss makes no entry
    body("/nothing/here/");
    engine.reset();  // writes what waits
    EXPECT_EQ(ProfileFile(logs.file("counts.qvx")).keys("Commands"), std::vector<std::string> {"/count.htm"});
}

TEST_F(HitCounts, ALocalEntryWinsAndOnlyItGrows) {
    start();
    EXPECT_EQ(body("/local/page.htm"), "Local: 5\n");
    // The count and then its start date are written, one after the other.
    ASSERT_TRUE(test::eventually([&] {
        std::string access = test::readFile(site.file("local/access.qac"));
        return access.find("page.htm=6        \n") != std::string::npos && access.find("StartDate=") != std::string::npos;
    }));
    EXPECT_FALSE(ProfileFile(logs.file("counts.qvx")).hasKey("Commands", "/local/page.htm"));
}

TEST_F(HitCounts, OnlyExistingEntriesCountWithoutAddToFileHits) {
    start("addtofilehits=0");
    body("/count.htm");
    engine.reset();
    EXPECT_FALSE(std::filesystem::exists(logs.file("counts.qvx")));
}

// A counter write's work file, as a crash would leave it, is neither
// listed nor served.
TEST_F(HitCounts, LeftoverWorkFilesAreHidden) {
    start("webdirbrowsing=1");
    const std::string leftover = std::string(kWorkFilePrefix) + "access.qac.Ab12Cd";
    test::writeFile(site.file("local/" + leftover), "[counts]\npage.htm=5\n");
    EXPECT_EQ(body("/local/").find("qvwork"), std::string::npos);
    int fd = test::connectLoopback(port);
    test::sendText(fd, "GET /local/" + leftover + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(test::readUntilClosed(fd, 5000).rfind("HTTP/1.0 404", 0), 0u);
    close(fd);
}

// Many clients on two engines that share the runtime folder (and so the
// hit-count mutex) count every hit.
TEST_F(HitCounts, ConcurrentHitsOnTwoEnginesAreAllCounted) {
    start();
    test::TempFolder etc2;
    auto second = test::startEngine(etc2, run, ini());
    const int ports[] = {port, serverPort(*second, 1)};
    constexpr int kClients = 8, kRequests = 25;
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            for (int j = 0; j < kRequests; ++j) body("/count.htm", ports[i % 2]);
        });
    for (auto& t : clients) t.join();
    ASSERT_TRUE(test::eventually([&] { return engine->openConnections == 0 && second->openConnections == 0; }));
    engine.reset();
    second.reset();
    EXPECT_EQ(profileNumber(central("/count.htm")), kClients * kRequests);
    // No work file of the counter writes is left beside the counts (their
    // write-lock file stays, as it must for the next writer).
    for (const auto& e : std::filesystem::directory_iterator(logs.path())) {
        const std::string name = e.path().filename();
        EXPECT_TRUE(name == "counts.qvx" || name == std::string(kWorkFilePrefix) + "counts.qvx.lock") << name;
    }
}

}  // namespace
}  // namespace qv
