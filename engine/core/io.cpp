#include "engine/core/io.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/core/engine.h"
#include "engine/core/socket_info.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/clock.h"
#include "engine/platform/syscalls.h"

namespace qv {

namespace {

constexpr std::size_t kReceiveChunk = 299;

// Waits until the socket is readable (data or end of stream).  1 readable,
// 0 time-out, -1 error (errno set).  The deadline is taken from the engine's
// steady clock, so a test can move it.
int waitReadable(int sock, int timeoutMs) {
    using std::chrono::milliseconds;
    const auto deadline = steadyNow() + milliseconds(timeoutMs);
    for (;;) {
        // Rounded up, so a wait that ends by its time-out has reached the
        // deadline and is not made again for a fraction of a millisecond.
        milliseconds left = std::max(milliseconds(0), std::chrono::ceil<milliseconds>(deadline - steadyNow()));
        pollfd p {sock, POLLIN, 0};
        int rc = poll(&p, 1, static_cast<int>(waitSlice(left).count()));
        if (rc > 0) return 1;
        if (rc < 0 && errno != EINTR) return -1;
        if (rc == 0 && steadyNow() >= deadline) return 0;
    }
}

ssize_t recvRetry(int sock, void* buf, std::size_t len, int flags) {
    ssize_t n;
    do {
        n = sysRecv(sock, buf, len, flags);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Sends as much of `data` as the socket takes, retrying interrupted and
// partial sends; the count sent, which is less than data.size() only when
// a send failed.
std::size_t sendPrefix(int sock, std::string_view data, int flags) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = sysSend(sock, data.data() + done, data.size() - done, MSG_NOSIGNAL | flags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// Fills the connection's read-ahead buffer when it is empty, waiting at
// most `timeoutMs` for data.  1 bytes are buffered; 0 the peer closed; -1
// an error; -2 the time passed with nothing.
int fillReadAhead(Connection& c, int timeoutMs) {
    if (c.readStart < c.readEnd) return 1;
    c.readStart = c.readEnd = 0;
    // Data that follows data is mostly queued already: try at once, and wait
    // only when nothing is there yet.  After a reply the peer has yet to
    // read it and answer, so the wait comes first (one system call less per
    // keep-alive request).
    const bool answered = c.bytesSent != c.sentBeforeRead;
    c.sentBeforeRead = c.bytesSent;
    ssize_t n = -1;
    errno = EAGAIN;
    if (!answered) n = recvRetry(c.sock, c.readAhead.data(), c.readAhead.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        int ready = waitReadable(c.sock, timeoutMs);
        if (ready == 0) return -2;
        if (ready < 0) {
            debugPrintf("Error %d on read.\r\n", errno);
            return -1;
        }
        n = recvRetry(c.sock, c.readAhead.data(), c.readAhead.size(), 0);
    }
    if (n <= 0) return n == 0 ? 0 : -1;
    c.readEnd = static_cast<std::size_t>(n);
    return 1;
}

// Moves up to `max` buffered bytes to `out`, stopping after a line feed
// when `toLineEnd`; the count moved, and whether a line feed ended it.
std::size_t takeBuffered(Connection& c, char* out, std::size_t max, bool toLineEnd, bool& lineEnded) {
    std::size_t available = std::min(max, c.readEnd - c.readStart);
    const char* from = c.readAhead.data() + c.readStart;
    const void* lf = toLineEnd ? std::memchr(from, '\n', available) : nullptr;
    std::size_t take = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - from) + 1 : available;
    std::memcpy(out, from, take);
    c.readStart += take;
    lineEnded = lf != nullptr;
    return take;
}

int readRaw(Connection& c, std::span<char> buffer, int timeoutSeconds) {
    int rc = fillReadAhead(c, std::max(0, timeoutSeconds) * 1000);
    if (rc == -2) debugPrint("Connection timed out on read.\r\n");
    if (rc <= 0) {
        if (rc == 0) buffer[0] = '\0';
        return rc;
    }
    bool unused = false;
    std::size_t n = takeBuffered(c, buffer.data(), buffer.size() - 1, false, unused);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

int readLine(Connection& c, std::span<char> buffer, int timeoutSeconds) {
    const std::size_t size = buffer.size() - 1;
    const int limitMs = std::max(0, timeoutSeconds) * 1000;
    std::size_t total = 0;
    bool lineEnded = false;
    while (total < size && !lineEnded) {
        int rc = fillReadAhead(c, limitMs);
        if (rc == -2) {
            debugPrint("Connection timed out on read.\r\n");
            return -2;
        }
        if (rc == 0) {
            // The peer closed: nothing more will come, so there is no point
            // in waiting out the time-out before saying so.
            debugPrint("Connection timed out on read.\r\n");
            return -1;
        }
        if (rc < 0) return -1;
        total += takeBuffered(c, buffer.data() + total, size - total, true, lineEnded);
    }
    buffer[total] = '\0';
    if (total >= 2) {
        if (buffer[total - 1] == '\n') buffer[--total] = '\0';
        if (total > 0 && buffer[total - 1] == '\r') buffer[--total] = '\0';
    }
    return static_cast<int>(total);
}

}  // namespace

LineRead readLineBefore(Connection& c, std::string& line, std::size_t keep, std::size_t& budget,
                        SteadyClock::time_point deadline, bool& cut) {
    using std::chrono::milliseconds;
    line.clear();
    cut = false;
    for (;;) {
        auto left = std::chrono::ceil<milliseconds>(deadline - steadyNow());
        int rc = fillReadAhead(c, static_cast<int>(std::max<int64_t>(0, left.count())));
        if (rc == -2) debugPrint("Connection timed out on read.\r\n");
        if (rc == -2) return LineRead::kTimedOut;
        if (rc <= 0) return LineRead::kClosed;
        const char* from = c.readAhead.data() + c.readStart;
        std::size_t available = c.readEnd - c.readStart;
        const void* lf = std::memchr(from, '\n', available);
        std::size_t take = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - from) + 1 : available;
        if (take > budget) return LineRead::kOverBudget;
        budget -= take;
        c.readStart += take;
        std::size_t text = lf ? take - 1 : take;
        std::size_t room = keep + 1 - std::min(keep + 1, line.size());  // one more, for a final CR
        line.append(from, std::min(text, room));
        if (text > room) cut = true;
        if (!lf) continue;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > keep) {
            line.resize(keep);
            cut = true;
        }
        return LineRead::kRead;
    }
}

bool sendAll(int sock, std::string_view data, int flags) { return sendPrefix(sock, data, flags) == data.size(); }

int readSocket(Connection& c, std::span<char> buffer, bool lineMode, int timeoutSeconds) {
    if (buffer.empty()) return -1;
    return lineMode ? readLine(c, buffer, timeoutSeconds) : readRaw(c, buffer, timeoutSeconds);
}

int peekReceived(Connection& c, std::string_view& bytes, int timeoutSeconds) {
    const int rc = fillReadAhead(c, std::max(0, timeoutSeconds) * 1000);
    if (rc == -2) debugPrint("Connection timed out on read.\r\n");
    bytes = rc > 0 ? std::string_view(c.readAhead.data() + c.readStart, c.readEnd - c.readStart) : std::string_view();
    return rc;
}

void takeReceived(Connection& c, std::size_t count) { c.readStart += std::min(count, c.readEnd - c.readStart); }

void discardLineEnd(Connection& c) {
    if (c.readStart == c.readEnd && fillReadAhead(c, 0) <= 0) return;
    std::string_view waiting(c.readAhead.data() + c.readStart, c.readEnd - c.readStart);
    if (waiting.rfind("\r\n", 0) == 0)
        c.readStart += 2;
    else if (waiting.rfind("\n", 0) == 0)
        c.readStart += 1;
}

int flushSend(Connection& c, bool more) {
    if (c.sendLength == 0) return 0;
    std::size_t sent = sendPrefix(c.sock, std::string_view(c.sendBuffer.data(), c.sendLength), more ? MSG_MORE : 0);
    // Bytes that left are counted and dropped even when the rest failed: a
    // later flush must not put them on the wire twice.
    if (sent > 0) {
        addSocketBytes(c.socketInfo, sent);
        c.bytesSent += sent;
        c.sendLength -= sent;
        std::memmove(c.sendBuffer.data(), c.sendBuffer.data() + sent, c.sendLength);
    }
    if (c.sendLength == 0) return 0;
    debugPrint("Error sending str\r\n");
    return 1;
}

void discardSend(Connection& c) { c.sendLength = 0; }

int sendBytes(Connection& c, std::string_view data) {
    if (data.empty()) return 0;
    if (data.size() + c.sendLength >= kSendBufferSize) {
        // The new bytes may only follow the buffered ones: sent past a
        // buffer that could not leave, they would arrive out of order.
        if (flushSend(c) != 0) return 1;
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

int sendFileRaw(Connection& c, const std::string& path) {
    int fd = openRetrying(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        debugPrint("Error opening file '" + path + "'\r\n  " + systemErrorText());
        return kFileNotOpened;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
        debugPrint("Error opening file (filesize < 0)'" + path + "'\r\n");
        close(fd);
        return kFileNotOpened;
    }
    setSocketFileSize(c.socketInfo, static_cast<uint64_t>(st.st_size));
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    off_t offset = 0;
    int result = kFileSent;
    // Each call offers the whole rest of the file and the system takes what
    // the socket accepts; the size is known, so the loop ends there, and a
    // file that grew meanwhile is sent as it was when opened.  A send that
    // makes no progress within the socket's send time-out fails.
    while (offset < st.st_size) {
        ssize_t sent = sysSendfile(c.sock, fd, &offset, static_cast<std::size_t>(st.st_size - offset));
        if (sent < 0 && errno == EINTR) continue;
        if (sent == 0) break;  // the file shrank: it ends here
        if (sent < 0) {
            debugPrint("Error sending\r\n");
            result = kFileSendFailed;
            break;
        }
        c.bytesSent += static_cast<uint64_t>(sent);
        addSocketBytes(c.socketInfo, static_cast<uint64_t>(sent));
    }
    close(fd);
    // Fewer bytes than the file's size (a file that shrank) leave the client
    // short of any length announced for it.
    if (result == kFileSent && offset < st.st_size) result = kFileShort;
    return result;
}

int sendFile(Connection& c, const std::string& path) {
    // The header leaves with the file's first bytes rather than in a small
    // segment of its own that would wait for the client's acknowledgement.
    // A header that could not leave must not be overtaken by the file.
    if (flushSend(c, true) != 0) return kFileSendFailed;
    return sendFileRaw(c, path);
}

int64_t receiveFile(Connection& c, const std::string& path, int64_t maxBytes) {
    flushSend(c);
    debugPrint("\r\nReceiving file '" + path + "'\r\n");
    int fd = openRetrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        debugPrint("Error creating file '" + path + "'\r\n  " + systemErrorText());
        return -1;
    }
    int64_t total = 0;
    bool first = true;
    char buf[kReceiveChunk];
    for (;;) {
        ssize_t n = -1;
        bool unused = false;
        if (c.readStart < c.readEnd)
            n = static_cast<ssize_t>(takeBuffered(c, buf, sizeof buf, false, unused));
        else if (waitReadable(c.sock, kTransferStallSeconds * 1000) > 0)
            n = recvRetry(c.sock, buf, sizeof buf, 0);
        if (n < 0) {
            debugPrint(first ? "SOCKET_ERROR on receive file 1\r\n" : "SOCKET_ERROR on receive file 2\r\n");
            close(fd);
            return -1;
        }
        first = false;
        if (n == 0) break;
        if (total + n > maxBytes) {
            // A client that sends without end must not fill the disk: the
            // partial file goes too.
            debugPrint("Error writing to file.\r\n  The file is larger than the upload limit.\r\n");
            close(fd);
            unlink(path.c_str());
            return -1;
        }
        ssize_t written;
        do {
            written = sysWrite(fd, buf, static_cast<std::size_t>(n));
        } while (written < 0 && errno == EINTR);
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
