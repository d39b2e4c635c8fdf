// Child processes for gateway programs and helper tools: started from an
// argument vector and an environment block of their own (never through a
// shell), with the three standard descriptors chosen by the caller and
// nothing else of the server's inherited: no other descriptor, no ignored
// or blocked signal, no process group, no ambient capability.  A child is
// waited for with a bound; one that outlives its wait is handed to a
// reaper thread, so no child ever stays a zombie.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

#include "engine/platform/unique_fd.h"

namespace qv {

struct ChildSpec {
    // Executable path.  Without a "/" it is searched on the PATH of the
    // server's environment (not the child's) before the start; a relative
    // path, and a relative PATH entry, name a file as the server's current
    // folder sees it, whatever `workDir` says.
    std::string program;
    std::vector<std::string> argv;  // argv[0] included; must not be empty
    std::vector<std::string> env;   // "NAME=value" entries: the child's whole environment
    std::string workDir;            // empty: the server's current folder
    int stdinFd = -1;               // -1: /dev/null
    int stdoutFd = -1;              // -1: /dev/null
    int stderrFd = -1;              // -1: /dev/null
    // false: the child stays in the server's process group, as a helper
    // tool that may ask on the server's terminal must (a background group
    // reading the terminal is stopped by SIGTTIN).
    bool ownProcessGroup = true;
};

enum class ChildWait { Exited, TimedOut, Failed };

// A started child, owned until it is reaped or abandoned.  Destroying (or
// assigning over) one that still runs abandons it.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The child's process id; kept after it was reaped, -1 when none was
    // started (or it was moved away).
    pid_t pid() const { return pid_; }
    // Started and not yet reaped.
    bool running() const { return running_; }
    // Sends `signo` to the child, or with `wholeGroup` to its process group
    // (what a shell script started may have started in turn); a child left
    // in the server's group gets it alone.  0, or the errno (ESRCH when the
    // child is not running).
    int signal(int signo, bool wholeGroup = false) const;

private:
    friend int spawnChild(const ChildSpec& setup, ChildProcess& child);
    friend ChildWait waitChild(ChildProcess& child, std::chrono::milliseconds timeout, int* status);
    friend void abandonChild(ChildProcess&& child);

    pid_t pid_ = -1;
    bool running_ = false;
    bool ownGroup_ = false;
    UniqueFd pidfd_;  // invalid where pidfd_open is not available
};

// Starts the child.  0 when started, else the errno of the failing step:
// EINVAL for an empty argv, ENOENT or EACCES from the PATH search, an
// error of fork, or a failure in the child before its program ran (a
// descriptor to install, the working folder, execve: ENOENT, EACCES,
// ENOEXEC...), which the child reports through a close-on-exec pipe; that
// child is reaped before the return.  A `child` still running is
// abandoned first.
int spawnChild(const ChildSpec& setup, ChildProcess& child);

// Waits at most `timeout` for the child to end.  Exited: it was reaped and
// its waitpid status is in *status.  TimedOut: it still runs.  Failed: it
// was not running, or it cannot be waited for (a server that ignores
// SIGCHLD has it reaped by the kernel; it then no longer runs).
ChildWait waitChild(ChildProcess& child, std::chrono::milliseconds timeout, int* status = nullptr);

// Gives up a child still running: it goes on, and a reaper thread (one per
// process, started on first use) reaps it when it ends.  A child that is
// not running is just dropped.
void abandonChild(ChildProcess&& child);

// Abandoned children that have not ended yet.
std::size_t lingeringChildren();

// For tests: behave as on a kernel without pidfd_open and close_range (the
// waits poll waitpid, the child closes its descriptors one by one).
void useChildFallbacks(bool on);

}  // namespace qv
