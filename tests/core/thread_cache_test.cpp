#include "engine/core/thread_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "tests/support/net.h"

namespace qv {
namespace {

TEST(ThreadCache, FinishedThreadsServeTheNextBody) {
    ThreadCache cache;
    std::mutex m;
    std::set<std::thread::id> ids;
    std::atomic<int> done{0};
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(cache.start([&] {
            std::lock_guard lock(m);
            ids.insert(std::this_thread::get_id());
            done++;
        }));
        ASSERT_TRUE(test::eventually([&] { return done == i + 1; }));
        test::sleepMs(2);  // let the thread go back to waiting
    }
    EXPECT_LT(ids.size(), 5u);  // one after another, the same few threads
}

TEST(ThreadCache, StopWaitsForRunningBodiesAndRefusesNewOnes) {
    ThreadCache cache;
    std::atomic<bool> release{false};
    std::atomic<int> finished{0};
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(cache.start([&] {
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            finished++;
        }));
    std::thread releaser([&] {
        test::sleepMs(100);
        release = true;
    });
    cache.stop();
    EXPECT_EQ(finished, 3);  // stop returned only after every body ended
    releaser.join();
    EXPECT_FALSE(cache.start([] {}));
}

}  // namespace
}  // namespace qv
