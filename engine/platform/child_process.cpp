// Starting, waiting for and reaping child processes.
//
// Everything the child needs (the resolved program path, the argv and envp
// arrays, its descriptors) is built before the start, so between its start
// and execve the child makes raw system calls only: no allocation, no lock,
// no libc wrapper that a sanitizer intercepts, no errno but the one it
// reports.
//
// The child is started with clone(CLONE_VM | CLONE_VFORK) on a stack in the
// parent's frame, as posix_spawn does: no page tables are copied, and the
// parent thread resumes once the child has called execve or exited.  Under
// ThreadSanitizer, whose per-thread state a child sharing the memory would
// write into, it is a fork instead (the sanitizer turns vfork into fork
// itself).
#include "engine/platform/child_process.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

#include "engine/platform/runtime_dir.h"

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif
#ifndef SYS_close_range
#define SYS_close_range 436
#endif

// Code that runs in the child before execve: not instrumented, since it
// shares the parent's memory and sanitizer state.
#define QV_CHILD_CODE __attribute__((no_sanitize("address", "undefined", "thread"), noinline))

namespace qv {
namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kForkChild = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kForkChild = true;
#else
constexpr bool kForkChild = false;
#endif
#else
constexpr bool kForkChild = false;
#endif

// The child's frames are small (its largest buffer is the 2 KiB directory
// read); the rest is margin.
constexpr std::size_t kChildStackBytes = 16 << 10;
// A descriptor sweep without close_range or /proc stops here at most.
constexpr long kSweepLimit = 1 << 20;
// Without a pidfd, the reaper looks at its children this often.
constexpr int kReaperTickMs = 50;
// Without a pidfd, a wait looks again after 1, 2, 4... up to this many ms.
constexpr int kLongestPauseMs = 20;

std::atomic<bool> fallbacksForced{false};

// What the child reads, all of it built before the start.
struct ChildPlan {
    const char* path;
    char* const* argv;
    char* const* envp;
    const char* workDir;  // nullptr: stay
    int stdio[3];         // -1: /dev/null
    int errorFd;          // write end of the exec-error pipe, close-on-exec
    bool ownGroup;
    bool closeRange;  // false: sweep without close_range
    long sweepLimit;  // RLIMIT_NOFILE, for the last-resort sweep
};

// ---- In the child -------------------------------------------------------

// SIG_DFL, no flags, an empty mask: all zeros in the kernel's sigaction on
// every architecture.
const std::uint64_t kDefaultAction[4] = {};

// Every disposition back to default: exec keeps ignored ones (the server
// ignores SIGPIPE), and until exec a handler of the server's must not run
// in a child that shares its memory.
QV_CHILD_CODE void resetSignalActions() {
    for (int sig = 1; sig < 65; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP) syscall(SYS_rt_sigaction, sig, kDefaultAction, nullptr, 8);
}

// Descriptors 0, 1 and 2 from the plan.  Each source is first copied above
// 2, so a source that is another's target (stdout given as 0) survives.
QV_CHILD_CODE int installStdio(const ChildPlan& plan) {
    int moved[3];
    int devNull = -1;
    for (int i = 0; i < 3; ++i) {
        int source = plan.stdio[i];
        if (source < 0) {
            if (devNull < 0) devNull = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDWR | O_CLOEXEC));
            if (devNull < 0) return errno;
            source = devNull;
        }
        moved[i] = static_cast<int>(syscall(SYS_fcntl, source, F_DUPFD_CLOEXEC, 3));
        if (moved[i] < 0) return errno;
    }
    for (int i = 0; i < 3; ++i)
        if (syscall(SYS_dup3, moved[i], i, 0) < 0) return errno;
    return 0;
}

QV_CHILD_CODE int parseDescriptor(const char* name) {
    if (*name == '\0') return -1;
    int fd = 0;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9' || fd > (1 << 24)) return -1;
        fd = fd * 10 + (*name - '0');
    }
    return fd;
}

// Closes what /proc/self/fd lists above 2, but `keep`.  false when the
// folder cannot be read through (no /proc).
QV_CHILD_CODE bool closeListed(int keep) {
    const int dir = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir < 0) return false;
    alignas(8) char buffer[2048];
    long n;
    // The kernel lists descriptors by number from the read position on, so
    // closing those already listed does not disturb the listing.
    while ((n = syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0) {
        for (long at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            const int fd = parseDescriptor(entry->d_name);
            if (fd > 2 && fd != dir && fd != keep) syscall(SYS_close, fd);
        }
    }
    syscall(SYS_close, dir);
    return n == 0;
}

// Every descriptor above 2 but `keep` (the exec-error pipe, which closes on
// exec).  close_range needs Linux 5.9 (and a seccomp filter that knows it).
QV_CHILD_CODE void closeOtherDescriptors(const ChildPlan& plan, int keep) {
    if (plan.closeRange && (keep == 3 || syscall(SYS_close_range, 3U, unsigned(keep - 1), 0U) == 0) &&
        syscall(SYS_close_range, unsigned(keep + 1), ~0U, 0U) == 0)
        return;
    if (closeListed(keep)) return;
    for (long fd = 3; fd < plan.sweepLimit; ++fd)
        if (fd != keep) syscall(SYS_close, fd);
}

// Returns only on failure, with the errno to report.
QV_CHILD_CODE int prepareAndExec(const ChildPlan& plan, int& errorFd) {
    errorFd = plan.errorFd;
    if (errorFd < 3) errorFd = static_cast<int>(syscall(SYS_fcntl, errorFd, F_DUPFD_CLOEXEC, 3));
    if (errorFd < 0) return errno;
    resetSignalActions();
    if (plan.ownGroup && syscall(SYS_setpgid, 0, 0) != 0) return errno;
    // The service has CAP_NET_BIND_SERVICE as an ambient capability; a
    // program it runs must not.  EINVAL: a kernel before 4.3 has none.
    if (syscall(SYS_prctl, PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) return errno;
    if (int err = installStdio(plan)) return err;
    closeOtherDescriptors(plan, errorFd);
    if (plan.workDir && syscall(SYS_chdir, plan.workDir) != 0) return errno;
    const std::uint64_t emptyMask = 0;
    if (syscall(SYS_rt_sigprocmask, SIG_SETMASK, &emptyMask, nullptr, sizeof emptyMask) != 0) return errno;
    syscall(SYS_execve, plan.path, plan.argv, plan.envp);
    return errno;
}

// The child's entry; its return value is its exit status.
QV_CHILD_CODE int childMain(void* arg) {
    const auto& plan = *static_cast<const ChildPlan*>(arg);
    int errorFd = -1;
    const int err = prepareAndExec(plan, errorFd);
    if (errorFd >= 0) syscall(SYS_write, errorFd, &err, sizeof err);
    return 127;
}

// ---- In the parent ------------------------------------------------------

// Every signal blocked on the calling thread for the object's life: no
// handler of the server's runs in a child before it has reset them.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t old_;
};

// The child's pid, or -1 with errno.
pid_t startChild(ChildPlan& plan) {
    SignalsBlocked blocked;
    if constexpr (kForkChild) {
        const pid_t pid = fork();
        if (pid == 0) syscall(SYS_exit_group, childMain(&plan));
        return pid;
    } else {
        alignas(16) char stack[kChildStackBytes];
        return clone(childMain, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
    }
}

// The child's report: 0 once execve ran (the pipe closed on exec, empty),
// else its errno.  Blocks only until the child has exec'd or failed (a
// vfork child has by now), or for the moment another thread's child holds
// a copy of the write end before its own descriptor sweep.
int readStartError(int fd) {
    int err = 0;
    for (;;) {
        const ssize_t n = read(fd, &err, sizeof err);
        if (n < 0 && errno == EINTR) continue;
        return n == static_cast<ssize_t>(sizeof err) ? err : 0;
    }
}

// Reaps a child that has ended: 1 reaped (its status in *status), 0 still
// running, -1 gone without a status (ECHILD: a server ignoring SIGCHLD has
// its children reaped by the kernel).
int reapIfEnded(pid_t pid, int* status) {
    int local = 0;
    for (;;) {
        const pid_t rc = waitpid(pid, &local, WNOHANG);
        if (rc < 0 && errno == EINTR) continue;
        if (rc == 0) return 0;
        if (rc < 0) return -1;
        if (status) *status = local;
        return 1;
    }
}

// The file to execute: the program itself when it names a path, else the
// first executable regular file of that name on the server's PATH (the
// C library's default list when it has none).  ENOENT, or EACCES when only
// files that may not be executed were found.
int resolveProgram(const ChildSpec& setup, std::string& path) {
    if (setup.program.empty()) return ENOENT;
    if (setup.program.find('/') != std::string::npos) {
        path = setup.workDir.empty() ? setup.program : absolutePath(setup.program);
        return 0;
    }
    const char* pathVar = getenv("PATH");
    const std::string dirs = pathVar ? pathVar : "/bin:/usr/bin";
    int err = ENOENT;
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        start = end + 1;
        const std::string candidate = dir + "/" + setup.program;
        struct stat st;
        if (stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (faccessat(AT_FDCWD, candidate.c_str(), X_OK, AT_EACCESS) != 0) {
            err = EACCES;
            continue;
        }
        path = setup.workDir.empty() ? candidate : absolutePath(candidate);
        return 0;
    }
    return err;
}

std::vector<char*> cArray(const std::vector<std::string>& strings) {
    std::vector<char*> array;
    array.reserve(strings.size() + 1);
    for (const auto& s : strings) array.push_back(const_cast<char*>(s.c_str()));
    array.push_back(nullptr);
    return array;
}

long sweepLimit() {
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kSweepLimit;
    return std::min(static_cast<long>(limit.rlim_cur), kSweepLimit);
}

int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(std::min<long long>(left.count(), INT32_MAX)) : 0;
}

// Polls `fd` until it is readable or the deadline passes, EINTR retried
// with the time left.  false on time-out; an error of poll returns true,
// leaving the decision to the caller's waitpid loop.
bool pollReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        pollfd p {fd, POLLIN, 0};
        const int rc = poll(&p, 1, millisecondsLeft(deadline));
        if (rc > 0) return true;
        if (rc == 0) return false;
        if (errno != EINTR) return true;
    }
}

// ---- The reaper ---------------------------------------------------------

std::atomic<std::size_t> lingering{0};
std::atomic<bool> reaperGone{false};

// One thread that waits for every abandoned child, on its pidfd (or, for a
// child without one, every kReaperTickMs), and reaps it when it ends.
class Reaper {
public:
    Reaper() = default;
    ~Reaper();
    Reaper(const Reaper&) = delete;
    Reaper& operator=(const Reaper&) = delete;

    void adopt(pid_t pid, UniqueFd pidfd);

private:
    struct Orphan {
        pid_t pid;
        UniqueFd pidfd;
    };

    bool startLocked();
    void run();
    bool takeIncoming(std::vector<Orphan>& orphans);
    void waitAndReap(std::vector<Orphan>& orphans);

    std::mutex mutex_;
    std::vector<Orphan> incoming_;  // handed over, not yet taken by the thread
    bool stopping_ = false;
    UniqueFd wake_;  // eventfd: a new orphan, or the stop
    std::thread thread_;
    pid_t owner_ = -1;  // the process whose thread it is
};

Reaper& reaper() {
    static Reaper instance;
    return instance;
}

// A child that ends while the thread cannot be started stays a zombie
// until a later adopt starts it (or the server exits); the count shows it.
void Reaper::adopt(pid_t pid, UniqueFd pidfd) {
    lingering.fetch_add(1);
    std::lock_guard lock(mutex_);
    incoming_.push_back({pid, std::move(pidfd)});
    if (!thread_.joinable() && !startLocked()) return;
    eventfd_write(wake_.get(), 1);
}

bool Reaper::startLocked() {
    if (!wake_.valid()) wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_.valid()) return false;
    // The thread takes no signal: a server waiting for its signals in one
    // thread (sigwait) must not have them delivered here.
    SignalsBlocked blocked;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    owner_ = getpid();
    return true;
}

Reaper::~Reaper() {
    reaperGone = true;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (!thread_.joinable()) return;
    // A forked copy of the server has the object but not the thread.
    if (owner_ != getpid()) {
        thread_.detach();
        return;
    }
    eventfd_write(wake_.get(), 1);
    thread_.join();
}

// false once the stop was asked for.
bool Reaper::takeIncoming(std::vector<Orphan>& orphans) {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    for (auto& orphan : incoming_) orphans.push_back(std::move(orphan));
    incoming_.clear();
    return true;
}

// Children still running at the stop are left to the process that inherits
// them when the server exits.
void Reaper::run() {
    std::vector<Orphan> orphans;
    while (takeIncoming(orphans)) waitAndReap(orphans);
}

// One round: waits for a child to end, a new one or the stop (without a
// bound while every child has a pidfd: the eventfd ends the wait), then
// reaps those that ended.
void Reaper::waitAndReap(std::vector<Orphan>& orphans) {
    std::vector<pollfd> polled {{wake_.get(), POLLIN, 0}};
    bool ticking = false;
    for (const auto& orphan : orphans) {
        polled.push_back({orphan.pidfd.get(), POLLIN, 0});  // poll skips a negative fd
        ticking = ticking || !orphan.pidfd.valid();
    }
    if (poll(polled.data(), polled.size(), ticking ? kReaperTickMs : -1) < 0) return;  // EINTR: round again
    eventfd_t ignored;
    eventfd_read(wake_.get(), &ignored);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < orphans.size(); ++i) {
        const bool due = !orphans[i].pidfd.valid() || polled[i + 1].revents != 0;
        if (due && reapIfEnded(orphans[i].pid, nullptr) != 0) {
            lingering.fetch_sub(1);
            continue;
        }
        if (kept != i) orphans[kept] = std::move(orphans[i]);
        ++kept;
    }
    orphans.resize(kept);
}

}  // namespace

// ---- ChildProcess -------------------------------------------------------

ChildProcess::~ChildProcess() {
    if (running_) abandonChild(std::move(*this));
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      running_(std::exchange(other.running_, false)),
      ownGroup_(other.ownGroup_),
      pidfd_(std::move(other.pidfd_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this == &other) return *this;
    if (running_) abandonChild(std::move(*this));
    pid_ = std::exchange(other.pid_, -1);
    running_ = std::exchange(other.running_, false);
    ownGroup_ = other.ownGroup_;
    pidfd_ = std::move(other.pidfd_);
    return *this;
}

int ChildProcess::signal(int signo, bool wholeGroup) const {
    if (!running_) return ESRCH;
    long rc;
    if (wholeGroup && ownGroup_) {
        rc = kill(-pid_, signo);
    } else {
        rc = pidfd_.valid() ? syscall(SYS_pidfd_send_signal, pidfd_.get(), signo, nullptr, 0) : -1;
        // Without a pidfd, the pid is still the child's: it is not reaped.
        if (!pidfd_.valid() || (rc != 0 && errno == ENOSYS)) rc = kill(pid_, signo);
    }
    return rc == 0 ? 0 : errno;
}

int spawnChild(const ChildSpec& setup, ChildProcess& child) {
    child = ChildProcess();
    if (setup.argv.empty()) return EINVAL;
    std::string path;
    if (int err = resolveProgram(setup, path)) return err;
    const std::vector<char*> argv = cArray(setup.argv), envp = cArray(setup.env);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return errno;
    UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    const bool fallbacks = fallbacksForced.load(std::memory_order_relaxed);
    ChildPlan plan {path.c_str(),
                    argv.data(),
                    envp.data(),
                    setup.workDir.empty() ? nullptr : setup.workDir.c_str(),
                    {setup.stdinFd, setup.stdoutFd, setup.stderrFd},
                    writeEnd.get(),
                    setup.ownProcessGroup,
                    !fallbacks,
                    sweepLimit()};
    const pid_t pid = startChild(plan);
    const int startErrno = errno;
    writeEnd.reset();
    if (pid < 0) return startErrno;
    if (int err = readStartError(readEnd.get())) {
        // It has reported and exits right away.
        int ignored;
        while (waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
        }
        return err;
    }
    child.pid_ = pid;
    child.running_ = true;
    child.ownGroup_ = setup.ownProcessGroup;
    // The child is not reaped yet, so its pid cannot name another process.
    // Without a pidfd (a kernel before 5.3), the waits poll waitpid.
    if (!fallbacks) child.pidfd_.reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    return 0;
}

ChildWait waitChild(ChildProcess& child, std::chrono::milliseconds timeout, int* status) {
    if (!child.running_) return ChildWait::Failed;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (child.pidfd_.valid() && !pollReadable(child.pidfd_.get(), deadline)) return ChildWait::TimedOut;
    for (int pauseMs = 1;; pauseMs = std::min(pauseMs * 2, kLongestPauseMs)) {
        if (const int reaped = reapIfEnded(child.pid_, status)) {
            child.running_ = false;
            child.pidfd_.reset();
            return reaped > 0 ? ChildWait::Exited : ChildWait::Failed;
        }
        const int left = millisecondsLeft(deadline);
        if (left == 0) return ChildWait::TimedOut;
        usleep(static_cast<useconds_t>(std::min(pauseMs, left)) * 1000);
    }
}

void abandonChild(ChildProcess&& child) {
    ChildProcess taken(std::move(child));
    if (!taken.running_) return;
    taken.running_ = false;
    // At exit, after the reaper: the child outlives this process anyway.
    if (reaperGone.load()) return;
    reaper().adopt(taken.pid_, std::move(taken.pidfd_));
}

std::size_t lingeringChildren() { return lingering.load(); }

void useChildFallbacks(bool on) { fallbacksForced = on; }

}  // namespace qv
