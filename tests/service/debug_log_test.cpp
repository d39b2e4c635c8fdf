// The debug log body in process: it must not start the engine when it
// cannot make the events every one of its waits depends on, and a stop
// asked for before it runs must not be lost.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <sys/eventfd.h>
#include <unistd.h>

#include "engine/quorvane.h"
#include "service/debug_log.h"
#include "tests/support/test_support.h"

namespace qv::service {
namespace {

using namespace std::chrono_literals;
using test::TempFolder;

// An event maker whose Nth call fails as eventfd does when descriptors
// run out; every other call makes a real event.
int failingCall = 0;
int eventCalls = 0;
int makeEventFailingNth() {
    if (++eventCalls == failingCall) {
        errno = EMFILE;
        return -1;
    }
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

struct DebugLogBody : ::testing::Test {
    TempFolder etc, run, logs;
    EnginePtr engine;

    void SetUp() override {
        test::writeFile(etc.file("quorvane.ini"), "[Options]\nlogdir=" + logs.path() + "/\n[Multi]\nserver1=none\n");
        engine = createEngine({etc.path(), run.path(), {}, nullptr});
        consoleDebug = true;  // diagnostics to the console, none to the system log
    }
    void TearDown() override { consoleDebug = false; }

    // Runs the body to its end; false when it did not end within the time.
    bool runBody(std::string pipePath = "", EventMaker makeEvent = nullptr) {
        std::vector<std::string> args = {"qvx32", "-debug"};
        if (!pipePath.empty()) args.insert(args.end(), {"-pipe", pipePath});
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        auto body = std::async(std::launch::async, [&] {
            runEngineWithPipe(*engine, static_cast<int>(argv.size()), argv.data(), makeEvent);
        });
        if (body.wait_for(10s) == std::future_status::ready) return true;
        requestShutdown(*engine);  // a body that went on regardless still ends
        return false;
    }
};

// With either event missing the body reports it and returns; the engine
// never starts (no shared table) and no socket is left listening.
TEST_F(DebugLogBody, MissingEventsEndTheBodyBeforeTheEngineStarts) {
    for (int failing : {2, 1}) {  // a body that ignores a missing stop event never ends: last
        SCOPED_TRACE(failing == 1 ? "the stop event fails" : "the text-ready event fails");
        failingCall = failing;
        eventCalls = 0;
        testing::internal::CaptureStderr();
        bool ended = runBody("", makeEventFailingNth);
        std::string err = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ended);
        EXPECT_EQ(err, "Unable to create the debug log events: Too many open files\n");
        EXPECT_NE(access(run.file("debuglog").c_str(), F_OK), 0);
        EXPECT_NE(access(run.file("SocketInfoList").c_str(), F_OK), 0);
    }
}

TEST_F(DebugLogBody, StopAskedForBeforeTheBodyRunsEndsItOnceStarted) {
    requestShutdown(*engine);
    testing::internal::CaptureStdout();
    bool ended = runBody(run.file("early.sock"));
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ended);
    EXPECT_NE(out.find("servers started up OK.\r\n"), std::string::npos) << out;
    EXPECT_TRUE(access(run.file("SocketInfoList").c_str(), F_OK) == 0);
    EXPECT_NE(access(run.file("early.sock").c_str(), F_OK), 0);

    // The request was used up: a second body serves until asked again.
    auto second = createEngine({etc.path(), run.path(), {}, nullptr});
    std::swap(engine, second);
    testing::internal::CaptureStdout();
    std::vector<std::string> args = {"qvx32", "-debug"};
    std::vector<char*> argv = {args[0].data(), args[1].data()};
    auto body = std::async(std::launch::async, [&] { runEngineWithPipe(*engine, 2, argv.data()); });
    EXPECT_EQ(body.wait_for(300ms), std::future_status::timeout);
    requestShutdown(*engine);
    EXPECT_EQ(body.wait_for(10s), std::future_status::ready);
    testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace qv::service
