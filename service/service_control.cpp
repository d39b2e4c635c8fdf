#include "service/service_control.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "engine/config/settings.h"
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

// The unit's PrivateTmp gives the service /tmp and /var/tmp of its own:
// settings or folders there are not the ones the installing shell sees.
void notePrivateTmp(const std::string& path) {
    for (const char* hidden : {"/tmp", "/var/tmp"}) {
        std::string prefix = hidden;
        if (path == prefix || path.rfind(prefix + "/", 0) == 0)
            std::fprintf(stderr, "The service has a /tmp and /var/tmp of its own and will not see %s.\n",
                         path.c_str());
    }
}

// The log and temp folders of the settings file become the service
// user's, so the service can write there without root.
void prepareWorkFolders(const std::string& user, const UserIds& ids, const Settings& settings) {
    for (const std::string* folder : {&settings.logdir, &settings.tempdir}) {
        FolderResult result = handOverFolder(*folder, ids, kDataFolder);
        if (result == FolderResult::kLeftAsIs)
            std::fprintf(stderr, "%s holds files and stays as it is; make sure %s may write in it.\n",
                         folder->c_str(), user.c_str());
        else if (result == FolderResult::kFailed)
            std::fprintf(stderr, "Unable to prepare %s for %s - %s\n", folder->c_str(), user.c_str(),
                         lastErrorText(errno).c_str());
    }
}

// The unit fixes the runtime folder: systemd creates it and keeps it for
// the service's group, which a folder of the installing shell could not be.
void noteRuntimeFolder() {
    const char* run = std::getenv("QUORVANE_RUN");
    if (run && *run && std::string(run) != kSystemRuntimeFolder)
        std::fprintf(stderr, "The service uses the runtime folder %s, not QUORVANE_RUN=%s of this shell.\n",
                     kSystemRuntimeFolder, run);
}

// After the unit is written: reports on the user, hands it the work
// folders when that is possible, and warns of folders the unit hides.
void prepareForUser(const std::string& user, UserResult account, const UserIds& ids, bool root) {
    if (account == UserResult::kCreated) std::printf("System user %s created.\n", user.c_str());
    if (account == UserResult::kMissing)
        std::fprintf(stderr, "The user %s does not exist; create it before starting the service.\n", user.c_str());
    auto settings = readSettings(settingsFilePath(defaultSettingsFolder()));
    if (account != UserResult::kMissing && root) prepareWorkFolders(user, ids, *settings);
    for (const std::string& place : {defaultSettingsFolder(), settings->logdir, settings->tempdir})
        notePrivateTmp(place);
}

bool writeAll(int fd, const std::string& text) {
    return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
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

const char* optionValue(int argc, char** argv, const char* name) {
    for (int i = 1; i < argc - 1; ++i) {
        const char* a = argv[i];
        if ((a[0] == '-' || a[0] == '/') && strcasecmp(a + 1, name) == 0) return argv[i + 1];
    }
    return nullptr;
}

void installService(const std::string& user, const SystemUsers& users) {
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
    if (!validUserName(user)) {
        std::printf("CreateService failed - '%s' is not a valid user name\n", user.c_str());
        return;
    }
    const char* etc = std::getenv("QUORVANE_ETC");
    auto text = serviceUnitText({program, user, etc ? etc : ""});
    if (!text) {
        std::printf("CreateService failed - the program path or QUORVANE_ETC holds a control character\n");
        return;
    }
    std::string path = joinPath(folder, kUnitName);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::printf("CreateService failed - %s\n", lastErrorText(errno).c_str());
        return;
    }
    UserIds ids;
    UserResult account = ensureServiceUser(user, users, ids);
    if (account == UserResult::kCreateFailed || !writeAll(fd, *text)) {
        int err = errno;
        close(fd);
        unlink(path.c_str());
        if (account == UserResult::kCreateFailed)
            std::printf("CreateService failed - unable to create the user %s\n", user.c_str());
        else
            std::printf("CreateService failed - %s\n", lastErrorText(err).c_str());
        return;
    }
    close(fd);
    prepareForUser(user, account, ids, users.root);
    std::printf("%s installed.\n", kDisplayName);
    noteRuntimeFolder();
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
