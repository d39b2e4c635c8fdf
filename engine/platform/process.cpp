#include "engine/platform/process.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/platform/child_process.h"
#include "engine/platform/unique_fd.h"

extern char** environ;

namespace qv {

namespace {

// A killed helper is gone within this bound unless it sleeps in the kernel;
// then the reaper takes it.
constexpr std::chrono::milliseconds kKilledWait {2000};

int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads the child's output until it closes the pipe or the deadline passes.
void collectOutput(int fd, std::chrono::steady_clock::time_point deadline, std::string* output) {
    for (;;) {
        pollfd p {fd, POLLIN, 0};
        int rc = poll(&p, 1, millisecondsLeft(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (output) output->append(buf, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> serverEnvironment() {
    std::vector<std::string> env;
    for (char** entry = environ; entry && *entry; ++entry) env.emplace_back(*entry);
    return env;
}

}  // namespace

// The helper keeps the server's standard input (a closed one becomes
// /dev/null) and process group: systemctl asks for a password on the
// terminal it finds there.
int runProgram(const std::vector<std::string>& argv, int timeoutMs, std::string* output) {
    if (argv.empty()) return -1;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    ChildSpec setup;
    setup.program = argv[0];
    setup.argv = argv;
    setup.env = serverEnvironment();
    setup.stdinFd = fcntl(STDIN_FILENO, F_GETFD) >= 0 ? STDIN_FILENO : -1;
    setup.stdoutFd = writeEnd.get();
    setup.ownProcessGroup = false;
    ChildProcess child;
    int rc = spawnChild(setup, child);
    writeEnd.reset();  // the child's copy is the only writer left
    if (rc != 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    collectOutput(readEnd.get(), deadline, output);
    readEnd.reset();
    int status = 0;
    if (waitChild(child, std::chrono::milliseconds(millisecondsLeft(deadline)), &status) != ChildWait::Exited) {
        child.signal(SIGKILL);
        waitChild(child, kKilledWait);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace qv
