// Objects shared through the runtime folder: NamedMutex, NamedEvent,
// SharedTable and unique work files.  Every event wait is bounded by a
// watchdog, so a lost wake-up fails the test instead of hanging the suite.
#include <gtest/gtest.h>

#include <csignal>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <stop_token>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine/platform/named_event.h"
#include "engine/platform/named_mutex.h"
#include "engine/platform/shared_table.h"
#include "engine/platform/temp_file.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::TempFolder;

// Sets `stop` and wakes the event's waiters once the bound has passed,
// unless it goes out of scope first.
class Watchdog {
public:
    Watchdog(NamedEvent& event, std::atomic<bool>& stop, std::chrono::milliseconds bound)
        : thread_([&event, &stop, bound](std::stop_token token) {
              std::mutex m;
              std::condition_variable_any cv;
              std::unique_lock lock(m);
              cv.wait_for(lock, token, bound, [] { return false; });
              if (token.stop_requested()) return;
              stop = true;
              event.wakeWaiters();
          }) {}

private:
    std::jthread thread_;
};

// Four threads on two NamedMutex objects of one name: threads sharing an
// object are kept apart by its in-process mutex, the two objects by the lock
// file, as each holds its own open file description (as two processes do).
TEST(NamedMutexTest, ExcludesThreadsAndSeparateOpeners) {
    TempFolder run;
    NamedMutex first(run.path(), "QVX_TEST_MUTEX");
    NamedMutex second(run.path(), "QVX_TEST_MUTEX");
    ASSERT_TRUE(first.sharedAcrossProcesses() && second.sharedAcrossProcesses());
    EXPECT_TRUE(std::filesystem::exists(run.file("QVX_TEST_MUTEX.lock")));

    std::atomic<int> inside{0}, overlaps{0};
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, &m = t % 2 ? second : first] {
            for (int i = 0; i < 200; ++i) {
                std::lock_guard lock(m);
                if (inside.fetch_add(1) != 0) overlaps++;
                long seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
                inside.fetch_sub(1);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, 800);
}

// The signalling opener may reset at once (another engine reloads too);
// a waiter that was already waiting must still wake.
TEST(NamedEventTest, SignalWakesWaiterAndStaysSetUntilReset) {
    TempFolder run;
    NamedEvent event(run.path(), "QVX_RESET_MUTEX");
    NamedEvent other(run.path(), "QVX_RESET_MUTEX");
    ASSERT_TRUE(event.valid()) << event.error();
    std::atomic<bool> stop{false}, woken{false};
    for (bool resetAtOnce : {true, false}) {
        Watchdog dog(event, stop, 5s);
        std::thread waiter([&] { woken = event.wait(stop); });
        std::this_thread::sleep_for(100ms);
        other.signal();
        if (resetAtOnce) other.reset();
        waiter.join();
        EXPECT_TRUE(woken.load()) << resetAtOnce;
        EXPECT_FALSE(stop.load()) << "woken by the watchdog, not by the signal";
    }
    // Manual reset: every later wait returns at once until a reset.
    EXPECT_TRUE(event.wait(stop));
    EXPECT_TRUE(event.wait(stop));
    event.reset();
    EXPECT_FALSE(event.isSignalled());
}

TEST(NamedEventTest, StopAndWakeWaitersEndAWaitAtOnce) {
    TempFolder run;
    NamedEvent event(run.path(), "E");
    std::atomic<bool> stop{false}, woken{true};
    Watchdog dog(event, stop, 5s);
    std::thread waiter([&] { woken = event.wait(stop); });
    std::this_thread::sleep_for(150ms);
    auto stoppedAt = std::chrono::steady_clock::now();
    stop = true;
    event.wakeWaiters();
    waiter.join();
    EXPECT_FALSE(woken.load());
    EXPECT_FALSE(event.isSignalled());
    // Well before the end of the waiter's one-second slice.
    EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, 900ms);
}

TEST(NamedEventTest, SignalFromAnotherProcessWakesWaiter) {
    TempFolder run;
    NamedEvent event(run.path(), "QVX_RESET_MUTEX");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::this_thread::sleep_for(200ms);
        NamedEvent theirs(run.path(), "QVX_RESET_MUTEX");
        theirs.signal();
        _exit(theirs.valid() ? 0 : 1);
    }
    std::atomic<bool> stop{false};
    bool woken;
    {
        Watchdog dog(event, stop, 5s);
        woken = event.wait(stop);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(woken);
    EXPECT_FALSE(stop.load());
}

// An engine killed while it waits (or while it signals) must leave the
// event working for the next one: five reloads in a row all arrive.
TEST(NamedEventTest, AnEngineKilledWhileWaitingBreaksNothing) {
    TempFolder run;
    for (int round = 0; round < 3; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            NamedEvent theirs(run.path(), "QVX_RESET_MUTEX");
            std::atomic<bool> never{false};
            for (;;) {
                if (theirs.wait(never)) theirs.reset();
            }
        }
        std::this_thread::sleep_for(100ms);
        NamedEvent(run.path(), "QVX_RESET_MUTEX").signal();  // the victim may die in its reset
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    NamedEvent event(run.path(), "QVX_RESET_MUTEX");
    event.reset();
    std::atomic<bool> stop{false};
    std::atomic<int> reloads{0};
    Watchdog dog(event, stop, 10s);
    std::thread waiter([&] {
        while (reloads < 5 && event.wait(stop)) {
            event.reset();
            reloads++;
        }
    });
    NamedEvent signaller(run.path(), "QVX_RESET_MUTEX");
    for (int i = 1; i <= 5; ++i) {
        signaller.signal();
        for (int waited = 0; reloads < i && waited < 5000; waited += 10) std::this_thread::sleep_for(10ms);
    }
    waiter.join();
    EXPECT_EQ(reloads, 5);
    EXPECT_FALSE(stop.load()) << "woken by the watchdog, not by the signals";
}

TEST(NamedEventTest, EventsOnDifferentFoldersDoNotInterfere) {
    TempFolder runA, runB;
    NamedEvent a(runA.path(), "E");
    NamedEvent b(runB.path(), "E");
    a.signal();
    EXPECT_FALSE(b.isSignalled());
    std::atomic<bool> stop{false};
    Watchdog dog(b, stop, 300ms);
    EXPECT_FALSE(b.wait(stop));
}

TEST(SharedTableTest, TwoOpenersMapTheSameBytes) {
    TempFolder run;
    constexpr std::size_t kSize = 27648;
    SharedTable writer, reader;
    ASSERT_EQ(writer.create(run.path(), "SocketInfoList", kSize), 0);
    ASSERT_EQ(reader.create(run.path(), "SocketInfoList", kSize), 0);
    EXPECT_EQ(std::filesystem::file_size(run.file("SocketInfoList")), kSize);
    auto* w = static_cast<unsigned char*>(writer.data());
    auto* r = static_cast<const unsigned char*>(reader.data());
    w[0] = 0x5a;
    w[kSize - 1] = 0xa5;
    EXPECT_EQ(r[0], 0x5a);
    EXPECT_EQ(r[kSize - 1], 0xa5);
}

TEST(TempFileTest, GivesDistinctNewFilesToConcurrentCallers) {
    TempFolder folder;
    std::mutex mutex;
    std::set<std::string> names;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                std::string name;
                EXPECT_TRUE(uniqueTempFile(folder.path(), "cgi", name).valid());
                std::lock_guard lock(mutex);
                names.insert(name);
            }
        });
    for (auto& t : threads) t.join();
    ASSERT_EQ(names.size(), 100u);
    for (const auto& name : names) {
        EXPECT_EQ(name.rfind(folder.path() + "/cgi", 0), 0u) << name;
        EXPECT_TRUE(std::filesystem::is_regular_file(name)) << name;
    }
    std::string name = "stale";
    EXPECT_FALSE(uniqueTempFile("/nonexistent/quorvane-test", "x", name).valid());
    EXPECT_EQ(name, "");
}

}  // namespace
}  // namespace qv
