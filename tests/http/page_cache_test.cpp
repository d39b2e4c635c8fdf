// Copies of pages between requests: served only while the file is the same
// file, unchanged.
#include "engine/http/page_cache.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/core/engine.h"
#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

FileStamp settledStamp(std::size_t size) {
    FileStamp s;
    s.size = size;
    s.device = 1;
    s.inode = 42;
    s.modifiedNs = s.changedNs = (static_cast<int64_t>(std::time(nullptr)) - 60) * 1'000'000'000LL;
    return s;
}

TEST(PageCache, FoundOnlyWhileEveryPartOfTheLookIsTheSame) {
    PageCache cache;
    const std::string text = "<p>page</p>";
    const FileStamp stamp = settledStamp(text.size());
    cache.keep("/w/a.htm", stamp, text);
    ASSERT_TRUE(cache.find("/w/a.htm", stamp));
    EXPECT_EQ(*cache.find("/w/a.htm", stamp), text);
    EXPECT_FALSE(cache.find("/w/b.htm", stamp));

    auto changed = [&](auto change) {
        FileStamp other = stamp;
        change(other);
        cache.keep("/w/a.htm", stamp, text);
        bool found = cache.find("/w/a.htm", other) != nullptr;
        // A look that differs also drops the copy.
        return found || cache.find("/w/a.htm", stamp) != nullptr;
    };
    EXPECT_FALSE(changed([](FileStamp& s) { s.inode++; }));  // replaced by another file
    EXPECT_FALSE(changed([](FileStamp& s) { s.device++; }));
    EXPECT_FALSE(changed([](FileStamp& s) { s.changedNs++; }));  // rewritten in place, same size
    EXPECT_FALSE(changed([](FileStamp& s) { s.modifiedNs--; }));
    EXPECT_FALSE(changed([](FileStamp& s) { s.size++; }));
}

TEST(PageCache, KeepsOnlySmallSettledPagesReadWhole) {
    PageCache cache;
    FileStamp fresh = settledStamp(4);
    fresh.changedNs = static_cast<int64_t>(std::time(nullptr)) * 1'000'000'000LL;  // changed this second
    cache.keep("/fresh", fresh, "abcd");
    EXPECT_FALSE(cache.find("/fresh", fresh));
    const std::string big(PageCache::kMaxPageBytes + 1, 'b');
    cache.keep("/big", settledStamp(big.size()), big);
    EXPECT_FALSE(cache.find("/big", settledStamp(big.size())));
    cache.keep("/short", settledStamp(10), "grew");  // not the size that was looked at
    EXPECT_FALSE(cache.find("/short", settledStamp(10)));
    // Past its bounds the cache starts over and goes on working.
    const std::string page(60 << 10, 'p');
    for (int i = 0; i < 200; ++i) cache.keep("/p" + std::to_string(i), settledStamp(page.size()), page);
    EXPECT_TRUE(cache.find("/p199", settledStamp(page.size())));
}

// Over a real engine: a settled page that is copied, then rewritten in
// place with the same size, or replaced by another file with the old
// times, is served new at the next request.
TEST(PageCacheServing, ChangedPagesAreServedNew) {
    test::TempFolder etc, run, site;
    test::writeFile(site.file("p.htm"), "version one");
    test::writeFile(site.file("other.htm"), "version six");
    auto engine = test::startEngine(etc, run,
                                    "[Options]\nkeep_alive=1\n[Extensions]\nMap1=HTM h text/html\n[Multi]\nserver1="
                                    "httpd\nport1=0\ndir1=" + site.path() + "/\nserver2=none\n");
    const int port = serverPort(*engine, 1);
    auto body = [&] {
        int fd = test::connectLoopback(port);
        test::sendText(fd, "GET /p.htm HTTP/1.0\r\n\r\n");
        std::string reply = test::readUntilClosed(fd, 5000);
        close(fd);
        return reply.substr(reply.find("\r\n\r\n") + 4);
    };
    test::sleepMs(1100);  // settled: the next read is copied
    EXPECT_EQ(body(), "version one");
    EXPECT_EQ(body(), "version one");  // from the copy
    test::writeFile(site.file("p.htm"), "version two");
    EXPECT_EQ(body(), "version two");

    // Another file moved in place, its times set to those of the copy.
    test::sleepMs(1100);
    EXPECT_EQ(body(), "version two");
    struct stat old {};
    ASSERT_EQ(stat(site.file("p.htm").c_str(), &old), 0);
    timespec times[2] = {old.st_atim, old.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, site.file("other.htm").c_str(), times, 0), 0);
    ASSERT_EQ(rename(site.file("other.htm").c_str(), site.file("p.htm").c_str()), 0);
    EXPECT_EQ(body(), "version six");
}

}  // namespace
}  // namespace qv
