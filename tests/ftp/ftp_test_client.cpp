#include "tests/ftp/ftp_test_client.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <chrono>
#include <netinet/in.h>
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

FtpClient::FtpClient(int port) : fd(connectLoopback(port)) {}

FtpClient::~FtpClient() {
    if (fd >= 0) close(fd);
}

std::string FtpClient::reply(int timeoutMs) {
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

void FtpClient::send(const std::string& line) { sendText(fd, line + "\r\n"); }

std::string FtpClient::command(const std::string& line, int timeoutMs) {
    send(line);
    return reply(timeoutMs);
}

bool FtpClient::login(const std::string& user, const std::string& password) {
    if (command("USER " + user).rfind("331 ", 0) != 0) return false;
    return command("PASS " + password).find("230 Guest login ok") != std::string::npos;
}

int FtpClient::passiveData(const std::string& source) {
    lastPassive = command("PASV");
    int port = passivePort(lastPassive);
    return port ? connectFrom(source, port) : -1;
}

int passivePort(const std::string& reply) {
    unsigned a, b, c, d, p1, p2;
    if (std::sscanf(reply.c_str(), "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u)", &a, &b, &c, &d, &p1, &p2) != 6)
        return 0;
    return static_cast<int>(p1 * 256 + p2);
}

int connectFrom(const std::string& source, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local {};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in remote {};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace qv::test
