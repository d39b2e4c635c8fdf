#include "engine/platform/process.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/platform/unique_fd.h"

extern char** environ;

namespace qv {

namespace {

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

}  // namespace

int runProgram(const std::vector<std::string>& argv, int timeoutMs, std::string* output) {
    if (argv.empty()) return -1;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();  // the child's copy is the only writer left
    if (rc != 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    collectOutput(readEnd.get(), deadline, output);
    readEnd.reset();
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (millisecondsLeft(deadline) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(10 * 1000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace qv
