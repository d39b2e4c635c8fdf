#include "engine/platform/file_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>

namespace qv {

UniqueFd openLockedForAppend(const std::string& path, std::chrono::milliseconds wait) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!fd.valid()) return fd;
    const auto until = std::chrono::steady_clock::now() + wait;
    while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return UniqueFd();
        if (std::chrono::steady_clock::now() >= until) {
            errno = EWOULDBLOCK;
            return UniqueFd();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return fd;
}

}  // namespace qv
