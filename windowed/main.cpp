// qvx_pro: the engine with a desktop window.  Settings come from
// $QUORVANE_ETC (else /etc/quorvane), the shared objects from the runtime
// folder that qvx32 uses as well.
#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "engine/quorvane.h"
#include "windowed/main_frame.h"

namespace {

// SIGTERM (logout, a service manager) and SIGINT end the program as Exit
// does, without the question: the handler only wakes the event loop.
int signalPipe[2] = {-1, -1};

extern "C" void onQuitSignal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(signalPipe[1], &byte, 1);
}

void quitOnSignals(qv::MainFrame& frame) {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &frame);
    QObject::connect(notifier, &QSocketNotifier::activated, &frame, [&frame] { frame.quitWithoutAsking(); });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Quorvane Pro");
    QApplication::setDesktopFileName("qvx_pro");
    // The window may be hidden with the icon in the notification area:
    // only the Exit command ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    qv::EnginePtr engine = qv::createEngine({});
    int code = 0;
    {
        qv::MainFrame frame(*engine);
        QObject::connect(&frame, &qv::MainFrame::finished, &app, &QApplication::quit);
        quitOnSignals(frame);
        frame.show();
        frame.startEngine();
        code = QApplication::exec();
    }
    return code;
}
