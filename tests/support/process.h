// A child program for end-to-end tests: started with its own environment,
// its standard output collected by a thread, stopped by signals, every wait
// bounded.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qv::test {

class ChildProcess {
public:
    // Starts argv[0] with the test's environment, less every QUORVANE_* and
    // service-manager variable, plus `env`.
    ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env);
    ~ChildProcess();  // kills a child that still runs

    std::string output() const;
    bool waitForOutput(const std::string& piece, int timeoutMs = 10000) const;
    void signal(int sig);
    // The exit status, or -1 when it did not end within the time (it is
    // then killed).
    int wait(int timeoutMs = 10000);

private:
    int pid_ = -1;
    int stdout_ = -1;
    bool exited_ = false;
    int status_ = -1;
    mutable std::mutex mutex_;
    std::string output_;
    std::thread reader_;
};

// A TCP port that was free a moment ago on 127.0.0.1.
int freePort();

}  // namespace qv::test
