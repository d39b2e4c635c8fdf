#include "tests/ftp/ftp_test_client.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/net.h"

namespace qv::test {

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
