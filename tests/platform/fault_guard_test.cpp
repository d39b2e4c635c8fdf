// The fault guard: faults inside a guarded call come back as their signal,
// on any thread and again after a first one; elsewhere they keep their
// action.  (Signals are raised rather than provoked: the sanitizers would
// report a real null dereference in this instrumented code first.  Real
// faults in uninstrumented code are the extension tests'.)
#include "engine/platform/fault_guard.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace qv {
namespace {

void returns(void* arg) { ++*static_cast<int*>(arg); }
void raises(void* arg) { std::raise(*static_cast<int*>(arg)); }

TEST(FaultGuard, FaultsInsideComeBackAsTheirSignalOnEveryThread) {
    for (int round = 0; round < 2; ++round) {
        for (int signo : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) EXPECT_EQ(runGuarded(raises, &signo), signo);
    }
    int calls = 0;
    EXPECT_EQ(runGuarded(returns, &calls), 0);
    EXPECT_EQ(calls, 1);
    std::thread other([] {
        int signo = SIGSEGV;
        EXPECT_EQ(runGuarded(raises, &signo), SIGSEGV);
        EXPECT_EQ(runGuarded(raises, &signo), SIGSEGV);
    });
    other.join();
    EXPECT_EQ(faultCode(SIGBUS), 0xC0000005u);
    EXPECT_EQ(faultName(SIGSEGV), "ACCESS_VIOLATION");
    EXPECT_EQ(faultName(SIGFPE), "");
}

TEST(FaultGuardDeathTest, AFaultOutsideAGuardKeepsItsAction) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int calls = 0;
    runGuarded(returns, &calls);  // the guard's handlers are installed
    EXPECT_EXIT(std::raise(SIGILL), ::testing::KilledBySignal(SIGILL), "");
}

}  // namespace
}  // namespace qv
