#include "engine/platform/syscalls.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace qv {

namespace {

struct Fault {
    SysOp op;
    int callsLeft;
    int error;            // 0: a short call
    std::size_t maxBytes;
};

// What this call is to do: fail with `error`, or move at most `maxBytes`.
struct Outcome {
    int error = 0;
    std::size_t maxBytes = std::numeric_limits<std::size_t>::max();
};

std::atomic<std::size_t> armedCount{0};
std::mutex faultMutex;
std::vector<Fault> faults;

void arm(const Fault& fault) {
    std::lock_guard lock(faultMutex);
    faults.push_back(fault);
    armedCount.store(faults.size(), std::memory_order_relaxed);
}

// Counts one call of `op` against every fault armed for it; the faults
// whose call this is fire and are dropped.
Outcome nextCall(SysOp op) {
    Outcome out;
    if (armedCount.load(std::memory_order_relaxed) == 0) return out;
    std::lock_guard lock(faultMutex);
    for (auto it = faults.begin(); it != faults.end();) {
        if (it->op != op || --it->callsLeft > 0) {
            ++it;
            continue;
        }
        if (it->error != 0)
            out.error = it->error;
        else
            out.maxBytes = std::min(out.maxBytes, it->maxBytes);
        it = faults.erase(it);
    }
    armedCount.store(faults.size(), std::memory_order_relaxed);
    return out;
}

// True when the call is to fail; errno is then set.
bool failing(const Outcome& o) {
    if (o.error == 0) return false;
    errno = o.error;
    return true;
}

}  // namespace

ssize_t sysSend(int sock, const void* data, std::size_t length, int flags) {
    Outcome o = nextCall(SysOp::kSend);
    if (failing(o)) return -1;
    return send(sock, data, std::min(length, o.maxBytes), flags);
}

ssize_t sysRecv(int sock, void* data, std::size_t length, int flags) {
    Outcome o = nextCall(SysOp::kRecv);
    if (failing(o)) return -1;
    return recv(sock, data, std::min(length, o.maxBytes), flags);
}

ssize_t sysSendfile(int sock, int fd, off_t* offset, std::size_t count) {
    Outcome o = nextCall(SysOp::kSendfile);
    if (failing(o)) return -1;
    return sendfile(sock, fd, offset, std::min(count, o.maxBytes));
}

int sysOpen(const char* path, int flags, mode_t mode) {
    if (failing(nextCall(SysOp::kOpen))) return -1;
    return open(path, flags, mode);
}

ssize_t sysWrite(int fd, const void* data, std::size_t length) {
    Outcome o = nextCall(SysOp::kWrite);
    if (failing(o)) return -1;
    return write(fd, data, std::min(length, o.maxBytes));
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = sysWrite(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

int openRetrying(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = sysOpen(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void failNthCall(SysOp op, int n, int error) { arm({op, n, error, 0}); }

void shortenNthCall(SysOp op, int n, std::size_t bytes) { arm({op, n, 0, bytes}); }

void clearFaults() {
    std::lock_guard lock(faultMutex);
    faults.clear();
    armedCount.store(0, std::memory_order_relaxed);
}

}  // namespace qv
