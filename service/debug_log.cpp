#include "service/debug_log.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
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
#include <thread>
#include <unistd.h>

#include "engine/output.h"
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

// The texts waiting for the writer, which is the thread that serves the
// viewers: the console text in order, and up to kQueueSlots texts for a
// viewer (later ones are dropped while those wait).  Connection threads
// only append under `mutex` and signal `ready` when the writer has not been
// told yet, so printing a diagnostic costs them no system call of its own
// but that one wake-up per batch.  The queue belongs to this process alone.
struct DebugQueue {
    std::mutex mutex;
    std::condition_variable drained;  // the writer took the console text
    std::array<std::string, kQueueSlots> slots;
    int read = 0;
    int write = 0;
    int count = 0;
    std::string console;
    bool writerRunning = false;  // else console text is written at once
    bool signalled = false;      // `ready` was signalled since the writer last looked
    const EventCounter* ready = nullptr;
};

// How much console text may wait for the writer before printing threads
// wait for it.  The console is the operator's terminal or a file, so the
// writer only falls behind while standard output itself blocks; printing
// threads then block as a direct write would, and no line is dropped.
constexpr std::size_t kConsoleBacklog = 1 << 20;

// How long the writer lets texts gather after a write (see writeConsoleText).
constexpr std::chrono::milliseconds kBatchPause{2};

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
    std::unique_lock lock(queue.mutex);
    if (consoleDebug) {
        if (!queue.writerRunning) {
            writeStdout(text);  // start-up and shut-down: no writer, keep the order
        } else {
            queue.drained.wait(lock, [] { return queue.console.size() < kConsoleBacklog || !queue.writerRunning; });
            queue.console.append(text);
        }
    }
    if (queue.count < kQueueSlots && queue.ready) {
        queue.slots[queue.write] = std::string(text.substr(0, kTextLength));
        queue.write = (queue.write + 1) % kQueueSlots;
        queue.count++;
    }
    if (queue.ready && !queue.signalled) {
        queue.signalled = true;
        // Fails only when the counter would overflow, which one signal per
        // batch never comes near.
        queue.ready->signal();
    }
    return 1;
}

// The writer's part: clears the text-ready event and writes the console
// text that has waited.  Called whenever `ready` fired.  Texts printed in
// the short pause after a write are taken together by the next one; until
// then printers are not told to signal, so a busy server wakes its writer
// a few hundred times a second, not once per line.
void writeConsoleText(const EventCounter& ready) {
    ready.clear();
    std::string text;
    {
        std::lock_guard lock(queue.mutex);
        text.swap(queue.console);
    }
    queue.drained.notify_all();
    writeStdout(text);
    std::this_thread::sleep_for(kBatchPause);
    std::lock_guard lock(queue.mutex);
    queue.signalled = !queue.console.empty();
    if (queue.signalled) ready.signal();
}

bool takeText(std::string& text) {
    std::lock_guard lock(queue.mutex);
    if (queue.count == 0) return false;
    text = std::move(queue.slots[queue.read]);
    queue.read = (queue.read + 1) % kQueueSlots;
    queue.count--;
    return true;
}

// Starts or ends the writer's service; when it ends, what it had not
// written yet goes out at once.
void setWriterRunning(bool running) {
    std::lock_guard lock(queue.mutex);
    queue.writerRunning = running;
    if (!running) {
        writeStdout(queue.console);
        queue.console.clear();
    }
    queue.drained.notify_all();
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

// Sends one text to the viewer; console text that arrives while the
// viewer is slow to read is written meanwhile.
Delivery sendText(int client, const std::string& text, const EventCounter& stop, const EventCounter& ready) {
    for (;;) {
        if (send(client, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return Delivery::kSent;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return Delivery::kGone;
        pollfd p[3] = {{stop.fd(), POLLIN, 0}, {client, POLLOUT, 0}, {ready.fd(), POLLIN, 0}};
        if (poll(p, 3, -1) < 0 && errno != EINTR) return Delivery::kGone;
        if (p[0].revents) return Delivery::kStopping;
        if (p[2].revents) writeConsoleText(ready);
    }
}

// Sends the viewer every text that waits; kSent when all went.
Delivery sendWaitingTexts(int client, const EventCounter& stop, const EventCounter& ready) {
    std::string text;
    while (takeText(text)) {
        Delivery d = sendText(client, text, stop, ready);
        if (d != Delivery::kSent) return d;  // a text sent to a viewer that left is lost with it
    }
    return Delivery::kSent;
}

// Serves one viewer.  The wait has no time limit: new text, the viewer
// leaving or the shutdown ends it.  True when the shutdown ended it.
bool serveViewer(int client, const EventCounter& stop, const EventCounter& ready) {
    for (;;) {
        Delivery d = sendWaitingTexts(client, stop, ready);
        if (d != Delivery::kSent) return d == Delivery::kStopping;
        pollfd p[3] = {{stop.fd(), POLLIN, 0}, {ready.fd(), POLLIN, 0}, {client, POLLRDHUP, 0}};
        if (poll(p, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (p[0].revents) return true;
        if (p[2].revents & (POLLRDHUP | POLLHUP | POLLERR)) return false;
        if (p[1].revents) writeConsoleText(ready);
    }
}

// The writer: writes console text as it comes and serves one viewer at a
// time, until the shutdown.
void serveViewers(int listenFd, const EventCounter& stop, const EventCounter& ready) {
    for (;;) {
        pollfd p[3] = {{stop.fd(), POLLIN, 0}, {listenFd, POLLIN, 0}, {ready.fd(), POLLIN, 0}};
        if (poll(p, 3, -1) < 0 && errno != EINTR) return;
        if (p[0].revents) return;
        if (p[2].revents) writeConsoleText(ready);
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
    {
        std::lock_guard lock(queue.mutex);
        queue.read = queue.write = queue.count = 0;
        queue.signalled = false;
        queue.ready = &ready;
    }
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
        setWriterRunning(true);
        serveViewers(listenFd, stop, ready);
        setWriterRunning(false);
        // No viewer is served from here on: close at once, so a viewer
        // waits for the next server instead of connecting to this one.
        close(listenFd);
        unlink(path.c_str());
    }
    stopServers(engine);
    socketCreated = false;
    setDebugSink(nullptr);
    std::lock_guard lock(queue.mutex);
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
