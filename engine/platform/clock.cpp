#include "engine/platform/clock.h"

#include <algorithm>
#include <atomic>

namespace qv {

namespace {

// Short enough that a moved clock ends a wait without a noticeable delay,
// long enough that a waiting test thread does not spin.
constexpr std::chrono::milliseconds kTestSlice{5};

std::atomic<bool> testClockInstalled{false};
std::atomic<SteadyClock::rep> testNow{0};

}  // namespace

SteadyClock::time_point steadyNow() {
    if (!testClockInstalled.load(std::memory_order_acquire)) return SteadyClock::now();
    return SteadyClock::time_point(SteadyClock::duration(testNow.load(std::memory_order_acquire)));
}

std::chrono::milliseconds waitSlice(std::chrono::milliseconds left) {
    if (!testClockInstalled.load(std::memory_order_relaxed)) return left;
    return std::min(left, kTestSlice);
}

TestClock::TestClock() {
    testNow.store(SteadyClock::now().time_since_epoch().count(), std::memory_order_release);
    testClockInstalled.store(true, std::memory_order_release);
}

TestClock::~TestClock() { testClockInstalled.store(false, std::memory_order_release); }

void TestClock::advance(SteadyClock::duration by) { testNow.fetch_add(by.count(), std::memory_order_acq_rel); }

}  // namespace qv
