// The steady clock that bounded waits take their deadlines from.  It reads
// std::chrono::steady_clock unless a test installed a TestClock, which
// stands still until the test moves it, so a test crosses a 60-second
// time-out at once instead of sleeping through it.
#pragma once

#include <chrono>

namespace qv {

using SteadyClock = std::chrono::steady_clock;

SteadyClock::time_point steadyNow();

// How long one blocking wait may last when `left` remains until its
// deadline: all of it on the real clock; under a test clock a short slice,
// so that a wait notices promptly that the clock was moved past its
// deadline.
std::chrono::milliseconds waitSlice(std::chrono::milliseconds left);

// For tests: installed for its lifetime, one at a time.  It starts at the
// real clock's reading and moves only by advance(), which any thread may
// call.
class TestClock {
public:
    TestClock();
    ~TestClock();
    TestClock(const TestClock&) = delete;
    TestClock& operator=(const TestClock&) = delete;

    void advance(SteadyClock::duration by);
};

}  // namespace qv
