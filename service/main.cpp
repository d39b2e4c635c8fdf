// qvx32: the engine as a console program ("-debug") or a system service,
// with "-install [-user NAME]" / "-remove" for its systemd unit and
// "-viewlog" to follow the debug log of a running server.
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <strings.h>
#include <thread>

#include "engine/quorvane.h"
#include "service/debug_log.h"
#include "service/service_control.h"

namespace qv::service {

namespace {

void blockSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR2}) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// SIGINT and SIGTERM stop the engine, SIGHUP asks every engine on the
// runtime folder to reload its settings; SIGUSR2 ends the signal thread.
// They are blocked in every thread and taken here, so no handler ever runs
// in the middle of engine code.
void handleSignals(Engine* engine, bool console) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR2}) sigaddset(&set, s);
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        if (sig == SIGUSR2) return;
        if (sig == SIGHUP) {
            signalReset(*engine);
            continue;
        }
        if (console) {
            std::printf("Stopping %s.\n", kDisplayName);
            std::fflush(stdout);
        } else {
            reportServiceStatus(ServiceState::kStopPending);
        }
        requestShutdown(*engine);
    }
}

// The body both modes run: the engine with its debug log socket, and the
// signal thread that stops it.  0 when the engine ran, 1 when it could not.
int runBody(int argc, char** argv, bool console) {
    blockSignals();  // before any thread starts, so every thread inherits the mask
    EnginePtr engine = createEngine({});
    std::thread signals(handleSignals, engine.get(), console);
    int status = runEngineWithPipe(*engine, argc, argv);
    pthread_kill(signals.native_handle(), SIGUSR2);
    signals.join();
    return status;
}

void printUsage() {
    std::printf("%s -install          to install the service\n", kProgramName);
    std::printf("%s -remove           to remove the service\n", kProgramName);
    std::printf("%s -debug <params>   to run as a console app for debugging\n", kProgramName);
    std::printf("\nStartServiceCtrlDispatcher being called.\n");
    std::printf("This may take several seconds.  Please wait.\n");
    std::fflush(stdout);
}

int serviceMain(int argc, char** argv) {
    reportServiceStatus(ServiceState::kStartPending);
    int status = runBody(argc, argv, false);
    reportServiceStatus(ServiceState::kStopped);
    return status != 0 ? status : lastRecordedError();
}

}  // namespace

int programMain(int argc, char** argv) {
    // The console's standard output may be a pipe whose reader went away
    // (qvx32 -debug | head): that write should fail, not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc > 1 && (argv[1][0] == '-' || argv[1][0] == '/')) {
        const char* option = argv[1] + 1;
        if (strcasecmp(option, "install") == 0) {
            const char* user = optionValue(argc, argv, "user");
            installService(user ? user : kDefaultServiceUser, realSystemUsers());
            return 0;
        }
        if (strcasecmp(option, "remove") == 0) {
            removeService();
            return 0;
        }
        if (strcasecmp(option, "debug") == 0) {
            consoleDebug = true;
            std::printf("Debugging %s.\n", kDisplayName);
            std::fflush(stdout);
            return runBody(argc, argv, true);
        }
        if (strcasecmp(option, "viewlog") == 0) return viewDebugLog(argc, argv);
    }
    printUsage();
    if (startedByServiceManager()) return serviceMain(argc, argv);
    logServiceError("StartServiceCtrlDispatcher failed.");
    return 1;
}

}  // namespace qv::service

int main(int argc, char** argv) { return qv::service::programMain(argc, argv); }
