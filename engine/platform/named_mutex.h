// A mutex shared by every engine that uses the same runtime folder, across
// threads and processes: a lock file NAME.lock held with flock(LOCK_EX),
// together with an in-process mutex (flock does not exclude threads that
// share one open file description).  A crashed holder releases it, since the
// kernel drops a dead process's flock.
#pragma once

#include <mutex>
#include <string>

namespace qv {

class NamedMutex {
public:
    // Opens (creating when needed) runtimeFolder/NAME.lock.  A mutex whose
    // lock file cannot be opened still excludes the threads of this process.
    NamedMutex(const std::string& runtimeFolder, const std::string& name);
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Waits without time-out, as every holder releases it after a bounded
    // piece of work (a count update, one log line, one program start).
    void lock();
    void unlock();

    bool sharedAcrossProcesses() const { return fd_ >= 0; }
    const std::string& name() const { return name_; }

private:
    std::mutex local_;
    int fd_ = -1;
    std::string name_;
};

}  // namespace qv
