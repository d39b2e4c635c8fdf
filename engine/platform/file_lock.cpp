#include "engine/platform/file_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>

namespace qv {

namespace {

// Calls `tryLock` (0 or an errno) until it succeeds, fails otherwise than
// by a held lock, or `wait` has passed.
template <typename TryLock>
int retryLock(std::chrono::milliseconds wait, TryLock tryLock) {
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const int err = tryLock();
        if (err == 0) return 0;
        if (err != EWOULDBLOCK && err != EAGAIN && err != EACCES && err != EINTR) return err;
        if (std::chrono::steady_clock::now() >= until) return EWOULDBLOCK;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

int lockExclusive(int fd, std::chrono::milliseconds wait) {
    return retryLock(wait, [fd] { return flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno; });
}

UniqueFd openLockedForAppend(const std::string& path, std::chrono::milliseconds wait) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!fd.valid()) return fd;
    const int err = lockExclusive(fd.get(), wait);
    if (err == 0) return fd;
    errno = err;
    return UniqueFd();
}

int lockRecordsForWriting(int fd, std::chrono::milliseconds wait) {
    return retryLock(wait, [fd] {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;  // l_start 0, l_len 0: the whole file, however it grows
        return fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
    });
}

}  // namespace qv
