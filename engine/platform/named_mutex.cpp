#include "engine/platform/named_mutex.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "engine/platform/runtime_dir.h"

namespace qv {

NamedMutex::NamedMutex(const std::string& runtimeFolder, const std::string& name) : name_(name) {
    std::string path = joinPath(runtimeFolder, name + ".lock");
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
}

NamedMutex::~NamedMutex() {
    if (fd_ >= 0) close(fd_);
}

void NamedMutex::lock() {
    local_.lock();
    if (fd_ < 0) return;
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
}

void NamedMutex::unlock() {
    if (fd_ >= 0) flock(fd_, LOCK_UN);
    local_.unlock();
}

}  // namespace qv
