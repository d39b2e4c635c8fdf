#include "service/service_control.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "engine/platform/process.h"
#include "engine/platform/runtime_dir.h"
#include "service/debug_log.h"

namespace qv::service {

namespace {

constexpr const char* kUnitName = "quorvane32.service";
constexpr int kSystemctlTimeoutMs = 30000;
constexpr int kStopWaitSeconds = 90;

int lastError = 0;

std::string unitFolder() {
    const char* dir = std::getenv("QUORVANE_UNIT_DIR");
    return dir && *dir ? dir : "/etc/systemd/system";
}

// The system's text for an error code as "%s (0x%x)".
std::string lastErrorText(int code) {
    char text[300];
    std::snprintf(text, sizeof text, "%s (0x%x)", std::strerror(code), static_cast<unsigned>(code));
    return text;
}

bool systemdRunning() {
    struct stat st {};
    return stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

void reloadSystemd() {
    if (systemdRunning()) runProgram({"systemctl", "daemon-reload"}, kSystemctlTimeoutMs);
}

std::string unitState() {
    std::string out;
    runProgram({"systemctl", "is-active", kUnitName}, kSystemctlTimeoutMs, &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

std::string unitText(const std::string& program) {
    std::string text = "[Unit]\nDescription=" + std::string(kDisplayName) +
                       "\nAfter=network.target\n\n[Service]\nType=notify\nNotifyAccess=main\nExecStart=" + program +
                       "\nKillSignal=SIGTERM\n";
    // The service reads the same settings and runtime folders as the shell
    // that installed it.
    for (const char* name : {"QUORVANE_ETC", "QUORVANE_RUN"})
        if (const char* value = std::getenv(name); value && *value)
            text += "Environment=" + std::string(name) + "=" + value + "\n";
    // No default target: the service starts only when asked, until an
    // operator enables it.
    return text + "\n[Install]\nWantedBy=multi-user.target\n";
}

// Sends one sd_notify message to the socket systemd named, if any.
void notifyServiceManager(const char* message) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || !*path) return;
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::size_t len = std::strlen(path);
    if (len >= sizeof addr.sun_path) return;
    std::memcpy(addr.sun_path, path, len);
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sendto(fd, message, std::strlen(message), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
    close(fd);
}

void waitForStop() {
    std::printf("Stopping %s.", kDisplayName);
    std::fflush(stdout);
    std::string state = unitState();
    for (int waited = 0; state == "deactivating" && waited < kStopWaitSeconds; ++waited) {
        sleep(1);
        std::printf(".");
        std::fflush(stdout);
        state = unitState();
    }
    if (state == "inactive" || state == "failed")
        std::printf("\n%s stopped.\n", kDisplayName);
    else
        std::printf("\n%s failed to stop.\n", kDisplayName);
}

}  // namespace

bool startedByServiceManager() { return std::getenv("NOTIFY_SOCKET") || std::getenv("INVOCATION_ID"); }

void installService() {
    char program[512] = {};
    ssize_t n = readlink("/proc/self/exe", program, sizeof program - 1);
    if (n <= 0) {
        std::printf("Unable to install %s - %s\n", kDisplayName, lastErrorText(errno).c_str());
        return;
    }
    std::string folder = unitFolder();
    if (access(folder.c_str(), W_OK) != 0) {
        std::printf("OpenSCManager failed - %s\n", lastErrorText(errno).c_str());
        return;
    }
    std::string path = joinPath(folder, kUnitName);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    std::string text = unitText(program);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        int err = errno;
        if (fd >= 0) {
            close(fd);
            unlink(path.c_str());
        }
        std::printf("CreateService failed - %s\n", lastErrorText(err).c_str());
        return;
    }
    close(fd);
    std::printf("%s installed.\n", kDisplayName);
    reloadSystemd();
}

void removeService() {
    std::string folder = unitFolder();
    if (access(folder.c_str(), W_OK) != 0) {
        std::printf("OpenSCManager failed - %s\n", lastErrorText(errno).c_str());
        return;
    }
    std::string path = joinPath(folder, kUnitName);
    if (access(path.c_str(), F_OK) != 0) {
        std::printf("OpenService failed - %s\n", lastErrorText(errno).c_str());
        return;
    }
    if (systemdRunning()) {
        std::string state = unitState();
        if ((state == "active" || state == "activating" || state == "reloading") &&
            runProgram({"systemctl", "stop", "--no-block", kUnitName}, kSystemctlTimeoutMs) == 0)
            waitForStop();
    }
    if (unlink(path.c_str()) == 0)
        std::printf("%s removed.\n", kDisplayName);
    else
        std::printf("DeleteService failed - %s\n", lastErrorText(errno).c_str());
    reloadSystemd();
}

bool reportServiceStatus(ServiceState state) {
    if (consoleDebug) return true;
    if (state == ServiceState::kRunning) notifyServiceManager("READY=1");
    if (state == ServiceState::kStopPending) notifyServiceManager("STOPPING=1");
    return true;
}

void logServiceError(const char* text) {
    if (consoleDebug) return;
    lastError = errno;
    openlog(kServiceName, LOG_PID, LOG_DAEMON);
    syslog(LOG_ERR, "%s error: %d", kServiceName, lastError);
    syslog(LOG_ERR, "%s", text);
    closelog();
}

int lastRecordedError() { return lastError; }

}  // namespace qv::service
