#include "engine/ftp/ftp_data.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <vector>

#include "engine/core/server_table.h"
#include "engine/output.h"
#include "engine/platform/clock.h"
#include "engine/platform/syscalls.h"

namespace qv {

namespace {

using std::chrono::milliseconds;

constexpr std::size_t kUploadBlock = 256 * 1024;

enum class Wait { kReady, kTimedOut, kControlEnded };

// Waits for `events` on the data side while watching the control
// connection for its end (the peer's close, or the local shutdown the
// engine makes when it stops).  Only the end of the control connection
// counts there: a command the client sends meanwhile waits for its turn.
Wait waitFor(int fd, short events, int controlSock, milliseconds timeout) {
    const auto deadline = steadyNow() + timeout;
    for (;;) {
        milliseconds left = std::max(milliseconds(0), std::chrono::ceil<milliseconds>(deadline - steadyNow()));
        pollfd waits[2] = {{fd, events, 0}, {controlSock, POLLRDHUP, 0}};
        int rc = poll(waits, 2, static_cast<int>(waitSlice(left).count()));
        if (rc < 0 && errno != EINTR) return Wait::kControlEnded;
        if (rc > 0 && (waits[1].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))) return Wait::kControlEnded;
        if (rc > 0 && waits[0].revents) return Wait::kReady;
        if (steadyNow() >= deadline) return Wait::kTimedOut;
    }
}

bool setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool localAddress(int sock, sockaddr_in& address) {
    socklen_t len = sizeof address;
    return getsockname(sock, reinterpret_cast<sockaddr*>(&address), &len) == 0 && address.sin_family == AF_INET;
}

bool again(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

}  // namespace

bool DataLink::openPassive(int controlSock, uint32_t& address, int& port) {
    clear();
    sockaddr_in local {};
    if (!localAddress(controlSock, local)) return false;
    local.sin_port = 0;
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(fd.get(), 4) != 0 || !localAddress(fd.get(), local))
        return false;
    address = local.sin_addr.s_addr;
    port = ntohs(local.sin_port);
    listener_ = std::move(fd);
    return true;
}

void DataLink::setActive(const PortTarget& target) {
    clear();
    active_ = target;
}

void DataLink::clear() {
    listener_.reset();
    active_.reset();
}

UniqueFd DataLink::open(int controlSock, uint32_t peerIp, milliseconds timeout) {
    UniqueFd fd = listener_.valid() ? accept(controlSock, peerIp, timeout) : connectOut(controlSock, timeout);
    if (fd.valid() && !setNonBlocking(fd.get())) fd.reset();
    return fd;
}

UniqueFd DataLink::accept(int controlSock, uint32_t peerIp, milliseconds timeout) {
    const auto deadline = steadyNow() + timeout;
    for (;;) {
        milliseconds left = std::max(milliseconds(0), std::chrono::ceil<milliseconds>(deadline - steadyNow()));
        if (waitFor(listener_.get(), POLLIN, controlSock, left) != Wait::kReady) return UniqueFd();
        sockaddr_in peer {};
        socklen_t len = sizeof peer;
        UniqueFd fd(accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC));
        if (!fd.valid()) continue;
        // Only the client of the control connection may take the data: a
        // third party that races to the passive port is turned away.
        if (peer.sin_addr.s_addr != peerIp) {
            debugPrintf("FTP data connection from %s refused: not the control peer.\r\n",
                        dottedAddress(peer.sin_addr.s_addr).c_str());
            continue;
        }
        listener_.reset();
        return fd;
    }
}

UniqueFd DataLink::connectOut(int controlSock, milliseconds timeout) const {
    if (!active_) return UniqueFd();
    sockaddr_in local {};
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid() || !localAddress(controlSock, local)) return UniqueFd();
    // From the address the client reached us on; the system picks the port
    // (port 20 needs privileges this server does not hold).
    local.sin_port = 0;
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return UniqueFd();
    sockaddr_in remote {};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = active_->address;
    remote.sin_port = htons(static_cast<uint16_t>(active_->port));
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 && errno != EINPROGRESS)
        return UniqueFd();
    if (waitFor(fd.get(), POLLOUT, controlSock, timeout) != Wait::kReady) return UniqueFd();
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return UniqueFd();
    return fd;
}

DataResult sendData(int dataSock, int controlSock, std::string_view bytes, uint64_t& sent) {
    while (!bytes.empty()) {
        ssize_t n = sysSend(dataSock, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && again(errno)) {
            if (waitFor(dataSock, POLLOUT, controlSock, std::chrono::seconds(kDataStallSeconds)) != Wait::kReady)
                return DataResult::kBroken;
            continue;
        }
        if (n <= 0) return DataResult::kBroken;
        sent += static_cast<uint64_t>(n);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return DataResult::kDone;
}

DataResult sendFileData(int dataSock, int controlSock, int fileFd, uint64_t& sent) {
    struct stat st {};
    if (fstat(fileFd, &st) != 0) return DataResult::kLocalError;
    const auto size = static_cast<uint64_t>(st.st_size);
    off_t offset = 0;
    while (static_cast<uint64_t>(offset) < size) {
        uint64_t left = size - static_cast<uint64_t>(offset);
        auto chunk = static_cast<std::size_t>(std::min<uint64_t>(left, 1u << 30));
        ssize_t n = sysSendfile(dataSock, fileFd, &offset, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && again(errno)) {
            if (waitFor(dataSock, POLLOUT, controlSock, std::chrono::seconds(kDataStallSeconds)) != Wait::kReady)
                return DataResult::kBroken;
            continue;
        }
        if (n == 0) return DataResult::kLocalError;  // the file shrank under us
        if (n < 0) return DataResult::kBroken;
        sent += static_cast<uint64_t>(n);
    }
    return DataResult::kDone;
}

DataResult receiveToFile(int dataSock, int controlSock, int fileFd, uint64_t maxBytes, uint64_t& received) {
    std::vector<char> block(kUploadBlock);
    for (;;) {
        ssize_t n = sysRecv(dataSock, block.data(), block.size(), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && again(errno)) {
            if (waitFor(dataSock, POLLIN, controlSock, std::chrono::seconds(kDataStallSeconds)) != Wait::kReady)
                return DataResult::kBroken;
            continue;
        }
        if (n < 0) return DataResult::kBroken;
        if (n == 0) return DataResult::kDone;
        if (received + static_cast<uint64_t>(n) > maxBytes) return DataResult::kTooLarge;
        if (!writeAll(fileFd, std::string_view(block.data(), static_cast<std::size_t>(n)))) return DataResult::kLocalError;
        received += static_cast<uint64_t>(n);
    }
}

}  // namespace qv
