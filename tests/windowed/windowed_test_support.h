// What the desktop program's tests share: waiting while the event loop
// runs, a frame over an engine of the test's own, and screenshots kept as
// artefacts.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "engine/quorvane.h"
#include "tests/support/test_support.h"
#include "windowed/main_frame.h"

namespace qv::test {

// Runs the event loop until `condition` holds or `timeoutMs` passed.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 10000);

// Saves widget->grab() as <artefacts>/<name>.png; the folder comes from
// $QV_WINDOWED_ARTIFACTS (else windowed-artifacts in the current folder).
std::string saveScreenshot(QWidget* widget, const std::string& name);

// A frame over an engine started on `ini`; the answers to the frame's
// questions are the test's.
struct FrameFixture {
    TempFolder etc, run, logs;
    EnginePtr engine;
    std::unique_ptr<MainFrame> frame;
    bool quitConfirmed = true;
    std::optional<QString> nextPausedPage;
    QString pageOffered;

    // Writes `ini` (with logdir set), creates the engine and the frame,
    // and starts the engine through the frame.
    void start(const std::string& ini);
    // HTTP server 1's port once listening.
    int port(int server = 1) const { return serverPort(*engine, server); }
};

// Sends a request line and headers to 127.0.0.1:port and reads the reply.
std::string httpGet(int port, const std::string& path);

}  // namespace qv::test
