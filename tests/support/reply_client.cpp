#include "tests/support/reply_client.h"

#include <cctype>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/net.h"

namespace qv::test {

namespace {

// A reply is complete when its last line starts with three digits and a
// blank.
bool completeReply(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) return false;
        if (end - start >= 4 && std::isdigit(static_cast<unsigned char>(text[start])) && text[start + 3] == ' ')
            return end + 2 == text.size();
        start = end + 2;
    }
    return false;
}

}  // namespace

ReplyClient::ReplyClient(int port) : fd(connectLoopback(port)) {}

ReplyClient::~ReplyClient() {
    if (fd >= 0) close(fd);
}

std::string ReplyClient::reply(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string got;
    for (;;) {
        // Take whole lines from what is pending until a reply completes.
        while (true) {
            std::size_t end = pending_.find("\r\n");
            if (end == std::string::npos) break;
            got += pending_.substr(0, end + 2);
            pending_.erase(0, end + 2);
            if (completeReply(got)) return got;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return got + pending_;
        pollfd p {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return got + pending_;
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

void ReplyClient::send(const std::string& line) { sendText(fd, line + "\r\n"); }

std::string ReplyClient::command(const std::string& line, int timeoutMs) {
    send(line);
    return reply(timeoutMs);
}

}  // namespace qv::test
