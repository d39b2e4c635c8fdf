#include "engine/core/io.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/core/engine.h"
#include "engine/core/socket_info.h"
#include "engine/log/strings.h"
#include "engine/output.h"

namespace qv {

namespace {

constexpr std::size_t kMaxChunk = 8192;
constexpr std::size_t kReceiveChunk = 299;

// Waits until the socket is readable (data or end of stream).  1 readable,
// 0 time-out, -1 error (errno set).
int waitReadable(int sock, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int left = static_cast<int>(
            std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
        pollfd p {sock, POLLIN, 0};
        int rc = poll(&p, 1, left);
        if (rc > 0) return 1;
        if (rc == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

ssize_t recvRetry(int sock, void* buf, std::size_t len, int flags) {
    ssize_t n;
    do {
        n = recv(sock, buf, len, flags);
    } while (n < 0 && errno == EINTR);
    return n;
}

int readRaw(Connection& c, std::span<char> buffer, int timeoutSeconds) {
    int ready = waitReadable(c.sock, std::max(0, timeoutSeconds) * 1000);
    if (ready == 0) {
        debugPrint("Connection timed out on read.\r\n");
        return -2;
    }
    if (ready < 0) return -1;
    ssize_t n = recvRetry(c.sock, buffer.data(), buffer.size() - 1, 0);
    if (n < 0) return -1;
    buffer[n] = '\0';
    return static_cast<int>(n);
}

int readLine(Connection& c, std::span<char> buffer, int timeoutSeconds) {
    const std::size_t size = buffer.size() - 1;
    const int limitMs = std::max(0, timeoutSeconds) * 1000;
    std::size_t total = 0;
    bool lineEnded = false;
    while (total < size && !lineEnded) {
        // Most lines are already queued: peek first, and wait only when
        // nothing is there yet.
        ssize_t peeked = recvRetry(c.sock, buffer.data() + total, size - total, MSG_PEEK | MSG_DONTWAIT);
        if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int ready = waitReadable(c.sock, limitMs);
            if (ready < 0) {
                debugPrintf("Error %d on read.\r\n", errno);
                return -1;
            }
            if (ready == 0) {
                debugPrint("Connection timed out on read.\r\n");
                return -2;
            }
            peeked = recvRetry(c.sock, buffer.data() + total, size - total, MSG_PEEK);
        }
        if (peeked < 0) return -1;
        if (peeked == 0) {
            // The peer closed: nothing more will come, so there is no point
            // in waiting out the time-out before saying so.
            debugPrint("Connection timed out on read.\r\n");
            return -1;
        }
        const char* start = buffer.data() + total;
        const void* lf = std::memchr(start, '\n', static_cast<std::size_t>(peeked));
        std::size_t take = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1
                              : static_cast<std::size_t>(peeked);
        // The bytes are already queued, so this read cannot block; a failure
        // here means the socket broke and the line is lost.
        ssize_t got = recvRetry(c.sock, buffer.data() + total, take, 0);
        if (got <= 0) return -1;
        total += static_cast<std::size_t>(got);
        lineEnded = lf != nullptr && static_cast<std::size_t>(got) == take;
    }
    buffer[total] = '\0';
    if (total >= 2) {
        if (buffer[total - 1] == '\n') buffer[--total] = '\0';
        if (total > 0 && buffer[total - 1] == '\r') buffer[--total] = '\0';
    }
    return static_cast<int>(total);
}

}  // namespace

bool sendAll(int sock, std::string_view data, int flags) {
    while (!data.empty()) {
        ssize_t n = send(sock, data.data(), data.size(), MSG_NOSIGNAL | flags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

int readSocket(Connection& c, std::span<char> buffer, bool lineMode, int timeoutSeconds) {
    if (buffer.empty()) return -1;
    return lineMode ? readLine(c, buffer, timeoutSeconds) : readRaw(c, buffer, timeoutSeconds);
}

int flushSend(Connection& c, bool more) {
    if (c.sendLength == 0) return 0;
    if (!sendAll(c.sock, std::string_view(c.sendBuffer.data(), c.sendLength), more ? MSG_MORE : 0)) {
        debugPrint("Error sending str\r\n");
        return 1;
    }
    addSocketBytes(c.socketInfo, c.sendLength);
    c.bytesSent += c.sendLength;
    c.sendLength = 0;
    return 0;
}

int sendBytes(Connection& c, std::string_view data) {
    if (data.empty()) return 0;
    if (data.size() + c.sendLength >= kSendBufferSize) {
        flushSend(c);
        if (!sendAll(c.sock, data)) {
            debugPrint("Error sending str\r\n");
            return 1;
        }
        return 0;
    }
    std::memcpy(c.sendBuffer.data() + c.sendLength, data.data(), data.size());
    c.sendLength += data.size();
    return 0;
}

int sendFileRaw(Connection& c, const std::string& path, int buffsize) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        debugPrint("Error opening file '" + path + "'\r\n  " + systemErrorText());
        return 1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
        debugPrint("Error opening file (filesize < 0)'" + path + "'\r\n");
        close(fd);
        return 1;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    setSocketFileSize(c.socketInfo, static_cast<uint64_t>(st.st_size));
    const std::size_t chunk = std::min<std::size_t>(static_cast<unsigned>(buffsize), kMaxChunk);
    off_t offset = 0;
    while (chunk > 0) {
        ssize_t sent = sendfile(c.sock, fd, &offset, chunk);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) {
            if (sent < 0) debugPrint("Error sending\r\n");
            break;  // 0: the end of the file
        }
        c.bytesSent += static_cast<uint64_t>(sent);
        addSocketBytes(c.socketInfo, static_cast<uint64_t>(sent));
        // A short chunk before the end of the file means the socket took
        // fewer bytes than it was given: the client stalled or went away.
        if (static_cast<std::size_t>(sent) < chunk && offset < st.st_size) {
            debugPrint("Error sending\r\n");
            break;
        }
    }
    close(fd);
    return 0;
}

int sendFile(Connection& c, const std::string& path, int buffsize) {
    // The header leaves with the file's first bytes rather than in a small
    // segment of its own that would wait for the client's acknowledgement.
    flushSend(c, true);
    return sendFileRaw(c, path, buffsize);
}

int64_t receiveFile(Connection& c, const std::string& path) {
    flushSend(c);
    debugPrint("\r\nReceiving file '" + path + "'\r\n");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        debugPrint("Error creating file '" + path + "'\r\n  " + systemErrorText());
        return -1;
    }
    int64_t total = 0;
    bool first = true;
    char buf[kReceiveChunk];
    for (;;) {
        ssize_t n = -1;
        if (waitReadable(c.sock, kTransferStallSeconds * 1000) > 0) n = recvRetry(c.sock, buf, sizeof buf, 0);
        if (n < 0) {
            debugPrint(first ? "SOCKET_ERROR on receive file 1\r\n" : "SOCKET_ERROR on receive file 2\r\n");
            close(fd);
            return -1;
        }
        first = false;
        if (n == 0) break;
        ssize_t written = write(fd, buf, static_cast<std::size_t>(n));
        if (written < 0) {
            debugPrint("Error writing to file.\r\n  " + systemErrorText());
            close(fd);
            return -1;
        }
        if (written < n) {
            debugPrint("Error writing to file.\r\n  Did not write all the bytes.\r\n");
            close(fd);
            return -1;
        }
        total += n;
    }
    close(fd);
    debugPrint("\r\n - ");
    debugPrint(std::to_string(total));
    debugPrint(" bytes were read.\r\n");
    return total;
}

int closeConnection(Connection& c) {
    flushSend(c);
    if (c.sock < 0) return 0;
    int rc;
    if (Server* s = c.server(); s && s != &c) {
        std::lock_guard lock(s->engine.live.mutex);
        rc = close(c.sock);
        c.sock = -1;
    } else {
        rc = close(c.sock);
        c.sock = -1;
    }
    if (rc != 0) debugPrint("Unable to close socket\r\n");
    return rc;
}

}  // namespace qv
