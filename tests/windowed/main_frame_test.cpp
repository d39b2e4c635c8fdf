// The desktop program's main window over a real engine on loopback: the
// counts and the icon, pausing, quitting, the switches, the connection
// report and the host-name cache; screenshots kept as artefacts.
#include <gtest/gtest.h>

#include <QMenuBar>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <unistd.h>

#include "engine/output.h"
#include "engine/platform/profile.h"
#include "tests/support/net.h"
#include "tests/windowed/windowed_test_support.h"
#include "windowed/pause_dialog.h"

namespace qv {
namespace {

using test::httpGet;
using test::waitUntil;

constexpr const char* kServers =
    "[Multi]\nserver1=http\nip1=127.0.0.1\nport1=0\nserver2=talk\nip2=127.0.0.1\nport2=0\nserver3=none\n";

struct Frame : ::testing::Test, test::FrameFixture {
    bool logShows(const QString& piece) {
        return waitUntil([&] { return frame->logWindow().text().contains(piece); }, 5000);
    }
};

TEST(TrayState, TipAndPictureFollowTheOpenCount) {
    TrayState tray;
    EXPECT_EQ(tray.tip(), "Quorvane Pro");
    EXPECT_FALSE(tray.update(0));
    EXPECT_TRUE(tray.update(1));
    EXPECT_EQ(tray.tip(), "Quorvane Pro - Serving 1");
    EXPECT_EQ(tray.picture(), TrayPicture::kServing);
    EXPECT_TRUE(tray.update(3));
    EXPECT_EQ(tray.tip(), "Quorvane Pro - Serving 3");
    EXPECT_TRUE(tray.update(0));
    EXPECT_EQ(tray.tip(), "Quorvane Pro - Listening...");
    EXPECT_EQ(tray.picture(), TrayPicture::kIdle);
}

TEST_F(Frame, CountsAndIconFollowRealConnections) {
    start(kServers);
    ASSERT_NE(port(2), 0);
    EXPECT_TRUE(logShows("servers started up OK"));
    // Without a notification area (the offscreen platform has none) the
    // window is minimised instead of hidden, so it cannot be lost.
    EXPECT_FALSE(frame->trayShown());
    const int talker = test::connectLoopback(port(2));
    ASSERT_GE(talker, 0);
    EXPECT_TRUE(waitUntil([&] { return frame->trayState().shown() == 1; }));
    EXPECT_EQ(frame->trayState().tip(), "Quorvane Pro - Serving 1");
    EXPECT_EQ(frame->trayState().picture(), TrayPicture::kServing);
    EXPECT_EQ(frame->countBar().shown().open, 1);
    EXPECT_EQ(frame->countBar().shown().total, 1);
    close(talker);
    EXPECT_TRUE(waitUntil([&] { return frame->trayState().shown() == 0; }));
    EXPECT_EQ(frame->trayState().tip(), "Quorvane Pro - Listening...");
    EXPECT_EQ(frame->trayState().picture(), TrayPicture::kIdle);
    EXPECT_EQ(frame->countBar().shown().peak, 1);
    frame->hideFrame();
    EXPECT_TRUE(waitUntil([&] { return frame->isMinimized(); }));
    EXPECT_TRUE(frame->isVisible());
}

TEST_F(Frame, PausingSendsTheEditedPage) {
    start(kServers);
    nextPausedPage = "Gone fishing until noon.";
    frame->pauseOrResume();
    EXPECT_TRUE(pageOffered.contains("Server Paused"));
    EXPECT_NE(httpGet(port(), "/").find("Gone fishing until noon."), std::string::npos);
    EXPECT_TRUE(logShows("*** Server Paused ***"));
    frame->pauseOrResume();
    EXPECT_TRUE(logShows("*** Server Resuming ***"));
    EXPECT_EQ(httpGet(port(), "/").find("Gone fishing"), std::string::npos);
    // Pausing again offers the page as it was edited; cancelling changes
    // nothing.
    nextPausedPage.reset();
    frame->pauseOrResume();
    EXPECT_EQ(pageOffered, "Gone fishing until noon.");
    EXPECT_FALSE(isPaused(*engine));
}

TEST_F(Frame, CancellingTheQuitQuestionKeepsServing) {
    start(kServers);
    quitConfirmed = false;
    EXPECT_FALSE(frame->close());
    EXPECT_FALSE(frame->engineStopped());
    EXPECT_NE(httpGet(port(), "/").find("HTTP/1.0 "), std::string::npos);
    quitConfirmed = true;
    EXPECT_TRUE(frame->close());
    EXPECT_TRUE(frame->engineStopped());
    EXPECT_EQ(test::connectLoopback(port()), -1);
}

// Engine threads printing as fast as they can while the user quits: the
// printers never wait for the window, so quitting cannot wait for them.
TEST_F(Frame, QuittingWhileThreadsPrintEnds) {
    start(kServers);
    std::atomic<bool> go {false};
    std::vector<std::thread> printers;
    for (int t = 0; t < 8; ++t)
        printers.emplace_back([&go, t] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < 20000; ++i) debugPrint("thread " + std::to_string(t) + " line " + std::to_string(i) + "\r\n");
        });
    go = true;
    EXPECT_TRUE(frame->close());
    auto joined = std::async(std::launch::async, [&printers] {
        for (auto& p : printers) p.join();
    });
    EXPECT_EQ(joined.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_TRUE(frame->engineStopped());
    frame->drainLog();
    EXPECT_LE(frame->logWindow().lineCount(), 1000);
}

TEST_F(Frame, SwitchesTakeEffectAtOnceAndAreSaved) {
    start(std::string("view_commands=1\n") + kServers);
    httpGet(port(), "/one");
    EXPECT_TRUE(logShows("127.0.0.1 - '/one'"));
    frame->toggleOption("view_commands", false);
    EXPECT_EQ(ProfileFile(etc.file("quorvane.ini")).getString("Options", "view_commands", "", 8), "0");
    httpGet(port(), "/two");
    frame->toggleOption("view_commands", true);
    httpGet(port(), "/three");
    EXPECT_TRUE(logShows("127.0.0.1 - '/three'"));
    EXPECT_FALSE(frame->logWindow().text().contains("'/two'"));
    EXPECT_EQ(ProfileFile(etc.file("quorvane.ini")).getString("Options", "view_commands", "", 8), "1");

    showRequestHeaders(*engine, true);
    httpGet(port(), "/four");
    EXPECT_TRUE(logShows("['Host: test.example'"));

    // Every switch of the View menu: written, and in effect without a reload.
    for (const char* key : {"debug_cgi", "view_connects", "view_commands", "view_files", "view_closing"}) {
        for (bool on : {true, false}) {
            frame->toggleOption(key, on);
            EXPECT_EQ(ProfileFile(etc.file("quorvane.ini")).getString("Options", key, "", 8), on ? "1" : "0") << key;
            EXPECT_EQ(optionNumber(*engine, key), on ? 1 : 0) << key;
        }
    }
    frame->logWindow().clear();
    httpGet(port(), "/five");
    frame->toggleOption("view_connects", true);
    httpGet(port(), "/six");
    EXPECT_TRUE(logShows("Connection from 127.0.0.1"));
    EXPECT_EQ(frame->logWindow().text().count("Connection from"), 1);
}

TEST_F(Frame, ConnectionReportAndHostCache) {
    start(std::string("DNS_mode=1\n") + kServers);
    httpGet(port(), "/");
    frame->printConnections();
    EXPECT_TRUE(logShows("------- Socket Info --------\nType User"));
    EXPECT_TRUE(logShows("Total Connections: 1"));
    frame->showDnsCache();
    DnsCacheWindow* dns = frame->dnsCacheWindow();
    ASSERT_NE(dns, nullptr);
    ASSERT_EQ(dns->rowCount(), 1);
    auto* list = dns->findChild<QTreeWidget*>();
    EXPECT_EQ(list->topLevelItem(0)->text(0), "127.0.0.1");
    EXPECT_FALSE(list->topLevelItem(0)->text(1).isEmpty());
    test::saveScreenshot(dns, "dns-cache");
}

// The desktop program and the service meet in one runtime folder: the
// connection report shows the service's connections, and a reset signalled
// by either makes both read their settings again.
TEST_F(Frame, SharesTheRuntimeFolderWithTheService) {
    start(kServers);
    test::TempFolder serviceEtc;
    EnginePtr service = test::startEngine(serviceEtc, run,
                                          "[Multi]\nserver1=talk\nip1=127.0.0.1\nport1=0\nserver2=none\n");
    const int talker = test::connectLoopback(serverPort(*service, 1));
    ASSERT_GE(talker, 0);
    ASSERT_TRUE(waitUntil([&] { return connectionCounts(*service).open == 1; }));
    frame->logWindow().clear();
    frame->printConnections();
    EXPECT_TRUE(logShows("   4 "));  // the talk connection's record (kind 4)
    close(talker);
    test::writeFile(etc.file("quorvane.ini"), "[Options]\nview_commands=0\n" + std::string(kServers));
    ASSERT_EQ(optionNumber(*engine, "view_commands"), 1);
    signalReset(*service);
    EXPECT_TRUE(waitUntil([&] { return optionNumber(*engine, "view_commands") == 0; }));
}

TEST_F(Frame, Screenshots) {
    start(kServers);
    for (int i = 0; i < 5; ++i) httpGet(port(), "/page" + std::to_string(i) + ".htm");
    frame->printConnections();
    EXPECT_TRUE(logShows("Total Connections: 5"));
    EXPECT_TRUE(waitUntil([&] { return frame->countBar().shown().total == 5; }));
    frame->resize(900, 600);
    test::saveScreenshot(frame.get(), "main-window");
    PauseDialog pause(QString::fromStdString(pausedPage(*engine)));
    pause.show();
    test::saveScreenshot(&pause, "pause-dialog");
    QMenu* view = frame->menuBar()->findChildren<QMenu*>().value(2);
    ASSERT_NE(view, nullptr);
    view->popup(QPoint(0, 0));
    test::saveScreenshot(view, "view-menu");
    view->hide();
}

}  // namespace
}  // namespace qv
