// HostNameCache with a fake reverse lookup that counts its calls: what is
// cached, what is asked again, and which entry a full cache gives up.
#include "engine/log/host_cache.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "tests/support/test_support.h"

namespace qv {
namespace {

// Addresses 10.0.0.1 to 10.0.0.30 resolve to hostN.example unless a test
// says otherwise; every other address fails.
std::mutex fakeMutex;
std::map<uint32_t, std::string> names;
std::map<uint32_t, int> calls;

bool fakeResolver(uint32_t address, std::string& name) {
    std::lock_guard lock(fakeMutex);
    calls[address]++;
    auto it = names.find(address);
    if (it == names.end()) return false;
    name = it->second;
    return true;
}

uint32_t address(int n) { return htonl(0x0a000000u | static_cast<uint32_t>(n)); }

class HostCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard lock(fakeMutex);
        names.clear();
        calls.clear();
        for (int n = 1; n <= 30; ++n) names[address(n)] = "host" + std::to_string(n) + ".example";
    }
    int callsFor(int n) {
        std::lock_guard lock(fakeMutex);
        return calls[address(n)];
    }
    std::string lookup(int n, bool useCache = true) {
        std::string name = "untouched";
        return cache.lookup(address(n), useCache, name) ? name : "<none:" + name + ">";
    }

    test::TempFolder run;
    NamedMutex mutex{run.path(), "QVX_DNS_MUTEX"};
    HostNameCache cache{mutex, fakeResolver};
};

TEST_F(HostCacheTest, NamesAndFailuresAreAskedOnce) {
    EXPECT_EQ(lookup(1), "host1.example");
    EXPECT_EQ(lookup(1), "host1.example");
    EXPECT_EQ(lookup(200), "<none:untouched>");
    EXPECT_EQ(lookup(200), "<none:untouched>");
    EXPECT_EQ(callsFor(1), 1);
    EXPECT_EQ(callsFor(200), 1);
}

TEST_F(HostCacheTest, WithoutCacheEveryCallAsksAndNothingIsStored) {
    EXPECT_EQ(lookup(1, false), "host1.example");
    EXPECT_EQ(lookup(1, false), "host1.example");
    EXPECT_EQ(lookup(200, false), "<none:untouched>");
    EXPECT_EQ(lookup(1), "host1.example");
    EXPECT_EQ(lookup(200), "<none:untouched>");
    EXPECT_EQ(callsFor(1), 3);
    EXPECT_EQ(callsFor(200), 2);
}

TEST_F(HostCacheTest, LongNamesAreCachedAsTheirFirst63Characters) {
    std::string longName(100, 'n');
    names[address(1)] = longName;
    EXPECT_EQ(lookup(1), longName);
    EXPECT_EQ(lookup(1), longName.substr(0, 63));
}

// Last use counts in seconds, hence the pause.
TEST_F(HostCacheTest, TwentyFirstAddressReplacesTheLeastRecentlyUsed) {
    for (int n = 1; n <= 20; ++n) lookup(n);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    lookup(1);  // now the newest; 2 is the first of the oldest
    lookup(21);
    for (int n = 1; n <= 21; ++n) {
        if (n == 2) continue;
        lookup(n);
        EXPECT_EQ(callsFor(n), 1) << "entry " << n << " was dropped";
    }
    lookup(2);
    EXPECT_EQ(callsFor(2), 2) << "the least recently used entry was kept";
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

TEST_F(HostCacheTest, ReportReadAndClearForTheDesktopProgram) {
    EXPECT_EQ(cache.reportLines(std::time(nullptr)),
              std::vector<std::string> {"\r\nThere are no entries in the DNS cache yet.\r\n"});
    lookup(1);
    lookup(1);
    lookup(200);
    const std::time_t now = std::time(nullptr) + 5;
    std::vector<std::string> lines = cache.reportLines(now);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "\r\n      ---.-IP.---.--- Hostname    Time  HitCount\r\n");
    HostNameCache::Entry first;
    ASSERT_TRUE(cache.readEntry(0, first));
    char expected[160];
    std::snprintf(expected, sizeof expected, "  0)  %-16.16s %-32.32s  %ld  2\r\n", "10.0.0.1", "host1.example",
                  static_cast<long>(now - first.lastUse));
    EXPECT_EQ(lines[1], expected);
    EXPECT_EQ(lines[2].substr(0, 6), "  1)  ");
    EXPECT_EQ(lines[3], "-- DNS Cache Hits = 1   Misses = 2  HitRate = 0.333333\r\n\r\n");

    HostNameCache::Entry entry;
    EXPECT_FALSE(cache.readEntry(2, entry));
    EXPECT_EQ(cache.clear(), 1);
    EXPECT_FALSE(cache.readEntry(0, entry));
    EXPECT_EQ(cache.reportLines(now).size(), 1u);
    lookup(1);  // asked again after the clear
    EXPECT_EQ(callsFor(1), 2);
}

}  // namespace
}  // namespace qv
