#include "tests/windowed/windowed_test_support.h"

#include <QDir>
#include <QSignalSpy>
#include <QThread>
#include <unistd.h>

#include "tests/support/net.h"

namespace qv::test {

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

std::string saveScreenshot(QWidget* widget, const std::string& name) {
    QString folder = qEnvironmentVariable("QV_WINDOWED_ARTIFACTS", "windowed-artifacts");
    QDir().mkpath(folder);
    const QString path = QDir(folder).absoluteFilePath(QString::fromStdString(name) + ".png");
    widget->grab().save(path);
    return path.toStdString();
}

void FrameFixture::start(const std::string& ini) {
    writeFile(etc.file("quorvane.ini"), "[Options]\nlogdir=" + logs.path() + "/\n" + ini);
    EngineOptions options;
    options.settingsFolder = etc.path();
    options.runtimeFolder = run.path();
    engine = createEngine(std::move(options));
    FramePrompts prompts;
    prompts.confirmQuit = [this](QWidget*) { return quitConfirmed; };
    prompts.editPausedPage = [this](QWidget*, const QString& page) {
        pageOffered = page;
        return nextPausedPage;
    };
    frame = std::make_unique<MainFrame>(*engine, std::move(prompts));
    frame->show();
    QSignalSpy started(frame.get(), &MainFrame::engineStarted);
    frame->startEngine();
    waitUntil([&] { return started.count() > 0; });
}

std::string httpGet(int port, const std::string& path) {
    const int fd = connectLoopback(port);
    if (fd < 0) return "";
    sendText(fd, "GET " + path + " HTTP/1.0\r\nHost: test.example\r\n\r\n");
    std::string reply = readUntilClosed(fd, 5000);
    close(fd);
    return reply;
}

}  // namespace qv::test
