#include "tests/support/process.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qv::test {

namespace {

bool keptFromParent(const char* entry) {
    for (const char* prefix : {"QUORVANE_", "NOTIFY_SOCKET=", "INVOCATION_ID="})
        if (std::strncmp(entry, prefix, std::strlen(prefix)) == 0) return false;
    return true;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e)
        if (keptFromParent(*e)) envText.emplace_back(*e);
    for (const auto& [name, value] : env) envText.push_back(name + "=" + value);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    int fds[2];
    pipe2(fds, O_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    if (posix_spawn(&pid_, args[0], &actions, &attr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    stdout_ = fds[0];
    reader_ = std::thread([this] {
        char buf[4096];
        ssize_t n;
        while ((n = read(stdout_, buf, sizeof buf)) > 0) {
            std::lock_guard lock(mutex_);
            output_.append(buf, static_cast<std::size_t>(n));
        }
    });
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();  // the pipe closes when the child is gone
    close(stdout_);
}

std::string ChildProcess::output() const {
    std::lock_guard lock(mutex_);
    return output_;
}

bool ChildProcess::waitForOutput(const std::string& piece, int timeoutMs) const {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (output().find(piece) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return output().find(piece) != std::string::npos;
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0 && !exited_) kill(pid_, sig);
}

int ChildProcess::wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    if (exited_) return status_;
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            reader_.join();  // all it printed is in output() once this returns
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    exited_ = true;
    reader_.join();
    return -1;
}

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

}  // namespace qv::test
