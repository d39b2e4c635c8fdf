#include "service/debug_log.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "engine/output.h"
#include "engine/platform/named_mutex.h"
#include "engine/platform/runtime_dir.h"
#include "service/service_control.h"

namespace qv::service {

bool consoleDebug = false;

namespace {

constexpr int kQueueSlots = 32;
constexpr std::size_t kTextLength = 255;

int makeEventFd() { return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

// An eventfd used as a manual-reset event: signal() adds to its counter,
// clear() reads it back to zero, and poll sees it readable while set.
class EventCounter {
public:
    explicit EventCounter(EventMaker make) : fd_(make()), error_(fd_ < 0 ? errno : 0) {}
    ~EventCounter() {
        if (fd_ >= 0) close(fd_);
    }
    EventCounter(const EventCounter&) = delete;
    EventCounter& operator=(const EventCounter&) = delete;

    int fd() const { return fd_; }
    int error() const { return error_; }  // errno of a failed eventfd
    bool signal() const { return eventfd_write(fd_, 1) == 0; }
    // False when nothing was pending (a wake-up that another read took).
    bool clear() const {
        eventfd_t pending;
        return eventfd_read(fd_, &pending) == 0;
    }

private:
    int fd_;
    int error_;
};

// The queue of texts waiting for a viewer.  `ready` is the text-ready
// event of the running body: debugPrint signals it, the serving loop
// clears it.  It is read and replaced only under the mutex.
struct DebugQueue {
    std::unique_ptr<NamedMutex> mutex;
    std::array<std::string, kQueueSlots> slots;
    int read = 0;
    int write = 0;
    int count = 0;
    const EventCounter* ready = nullptr;
};

DebugQueue queue;
std::atomic<bool> socketCreated{false};

// A stop may be asked for before the body has made its stop event (a
// signal early in start-up) or after it has gone; the flag keeps it.
std::mutex stopMutex;
bool stopRequested = false;
const EventCounter* stopEvent = nullptr;

// Makes `stop` the event requestShutdown signals while the body runs.
class StopRegistration {
public:
    explicit StopRegistration(const EventCounter& stop) {
        std::lock_guard lock(stopMutex);
        stopEvent = &stop;
        if (stopRequested) stop.signal();
    }
    ~StopRegistration() {
        std::lock_guard lock(stopMutex);
        stopEvent = nullptr;
        stopRequested = false;
    }
    StopRegistration(const StopRegistration&) = delete;
    StopRegistration& operator=(const StopRegistration&) = delete;
};

// A service's failures go to the system log, a console run's to stderr.
void reportFailure(const char* what, int err) {
    errno = err;
    logServiceError(what);
    if (consoleDebug) std::fprintf(stderr, "%s: %s\n", what, std::strerror(err));
}

void writeStdout(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

int queueText(std::string_view text) {
    if (!socketCreated || text.empty()) return 0;
    {
        std::lock_guard lock(*queue.mutex);
        if (queue.count < kQueueSlots && queue.ready) {
            queue.slots[queue.write] = std::string(text.substr(0, kTextLength));
            queue.write = (queue.write + 1) % kQueueSlots;
            queue.count++;
            // Fails only when the counter would overflow, which needs far
            // more texts than the serving loop ever leaves unread.
            queue.ready->signal();
        }
    }
    if (consoleDebug) writeStdout(text);
    return 1;
}

bool takeText(std::string& text) {
    std::lock_guard lock(*queue.mutex);
    if (queue.count == 0) return false;
    text = std::move(queue.slots[queue.read]);
    queue.read = (queue.read + 1) % kQueueSlots;
    queue.count--;
    return true;
}

bool fillAddress(const std::string& path, sockaddr_un& addr) {
    addr = sockaddr_un {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Listens on the path, or returns -1 with errno set.  One server per path:
// a path that a live server answers on is refused, a stale one is replaced.
int createDebugSocket(const std::string& path) {
    sockaddr_un addr;
    if (!fillAddress(path, addr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) close(probe);
    if (live) {
        errno = EADDRINUSE;
        return -1;
    }
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // The texts carry user names and commands: owner and group only.  The
    // umask covers the moment between bind and chmod; no other thread of
    // this program creates files yet.
    mode_t old = umask(0117);
    int rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    umask(old);
    if (rc != 0 || chmod(path.c_str(), 0660) != 0 || listen(fd, 1) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

enum class Delivery { kSent, kGone, kStopping };

Delivery sendText(int client, const std::string& text, const EventCounter& stop) {
    for (;;) {
        if (send(client, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return Delivery::kSent;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return Delivery::kGone;
        pollfd p[2] = {{stop.fd(), POLLIN, 0}, {client, POLLOUT, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) return Delivery::kGone;
        if (p[0].revents) return Delivery::kStopping;
    }
}

// Serves one viewer.  The wait has no time limit: new text, the viewer
// leaving or the shutdown ends it.  True when the shutdown ended it.
bool serveViewer(int client, const EventCounter& stop, const EventCounter& ready) {
    for (;;) {
        pollfd p[3] = {{stop.fd(), POLLIN, 0}, {ready.fd(), POLLIN, 0}, {client, POLLRDHUP, 0}};
        if (poll(p, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (p[0].revents) return true;
        if (p[2].revents & (POLLRDHUP | POLLHUP | POLLERR)) return false;
        if (!p[1].revents || !ready.clear()) continue;
        std::string text;
        while (takeText(text)) {
            Delivery d = sendText(client, text, stop);
            if (d == Delivery::kStopping) return true;
            if (d == Delivery::kGone) return false;  // this one text is lost with the viewer
        }
    }
}

void serveViewers(int listenFd, const EventCounter& stop, const EventCounter& ready) {
    for (;;) {
        pollfd p[2] = {{stop.fd(), POLLIN, 0}, {listenFd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) return;
        if (p[0].revents) return;
        if (!p[1].revents) continue;
        int client = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        bool stopping = serveViewer(client, stop, ready);
        close(client);
        if (stopping) return;
    }
}

void reportSocketFailure(const std::string& path) {
    int err = errno;
    logServiceError("Unable to create named pipe");
    if (consoleDebug) std::fprintf(stderr, "Unable to create the debug log socket '%s': %s\n", path.c_str(), std::strerror(err));
}

}  // namespace

std::string debugLogPath(int argc, char** argv, const std::string& runtimeFolder) {
    if (const char* path = optionValue(argc, argv, "pipe")) return path;
    return joinPath(runtimeFolder, "debuglog");
}

void requestShutdown(Engine& engine) {
    signalShutdown(engine);
    std::lock_guard lock(stopMutex);
    stopRequested = true;
    if (stopEvent && !stopEvent->signal()) reportFailure("Unable to signal the stop event", errno);
}

int runEngineWithPipe(Engine& engine, int argc, char** argv, EventMaker makeEvent) {
    reportServiceStatus(ServiceState::kStartPending);
    // Every wait below polls these two; without either it could never end.
    if (!makeEvent) makeEvent = makeEventFd;
    EventCounter stop(makeEvent), ready(makeEvent);
    if (stop.fd() < 0 || ready.fd() < 0) {
        reportFailure("Unable to create the debug log events", stop.fd() < 0 ? stop.error() : ready.error());
        stopServers(engine);
        return 1;
    }
    StopRegistration registered(stop);
    const std::string& run = runtimeFolder(engine);
    ensureFolder(run, 0770);
    queue.mutex = std::make_unique<NamedMutex>(run, "QVX_DEBUG_LOG_MUTEX");
    queue.read = queue.write = queue.count = 0;
    queue.ready = &ready;
    setDebugSink(queueText);

    reportServiceStatus(ServiceState::kStartPending);
    const std::string path = debugLogPath(argc, argv, run);
    int listenFd = createDebugSocket(path);
    const bool ran = listenFd >= 0;
    if (!ran) {
        reportSocketFailure(path);
    } else {
        socketCreated = true;
        errno = 0;  // the start-up note is not an error of its own
        logServiceError("Quorvane_Pro_BETA Starting Up");
        startServers(engine);
        reportServiceStatus(ServiceState::kRunning);
        serveViewers(listenFd, stop, ready);
        // No viewer is served from here on: close at once, so a viewer
        // waits for the next server instead of connecting to this one.
        close(listenFd);
        unlink(path.c_str());
    }
    stopServers(engine);
    socketCreated = false;
    setDebugSink(nullptr);
    std::lock_guard lock(*queue.mutex);
    queue.ready = nullptr;
    return ran ? 0 : 1;
}

int viewDebugLog(int argc, char** argv) {
    const std::string path = debugLogPath(argc, argv, defaultRuntimeFolder());
    sockaddr_un addr;
    if (!fillAddress(path, addr)) {
        std::fprintf(stderr, "The path '%s' is too long for a socket.\n", path.c_str());
        return 1;
    }
    bool waiting = false;
    // Runs until interrupted: an operator's viewer that follows the server
    // through its restarts.
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            if (fd >= 0) close(fd);
            if (!waiting) std::fprintf(stderr, "Waiting for the debug log at %s ...\n", path.c_str());
            waiting = true;
            sleep(1);
            continue;
        }
        std::fprintf(stderr, "Connected to %s.\n", path.c_str());
        waiting = false;
        char text[kTextLength + 1];
        ssize_t n;
        while ((n = recv(fd, text, sizeof text, 0)) > 0) {
            std::fwrite(text, 1, static_cast<std::size_t>(n), stdout);
            std::fflush(stdout);
        }
        close(fd);
    }
}

}  // namespace qv::service
