// A small FTP client for wire tests: replies read whole (every line of a
// multi-line reply), data connections to the passive port, every wait
// bounded.
#pragma once

#include <string>

namespace qv::test {

class FtpClient {
public:
    explicit FtpClient(int port);
    ~FtpClient();
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    // The next complete reply (all its lines), or what came before the
    // peer closed or 10 s passed.
    std::string reply(int timeoutMs = 10000);
    // Sends the line (CR LF added) and reads the reply.
    std::string command(const std::string& line, int timeoutMs = 10000);
    void send(const std::string& line);
    // USER and PASS; true when logged in.
    bool login(const std::string& user, const std::string& password);
    // PASV, then a connection to the port it names (from `source`, a
    // loopback address); -1 on failure.
    int passiveData(const std::string& source = "127.0.0.1");

    int fd = -1;
    std::string lastPassive;

private:
    std::string pending_;
};

// The port a 227 reply names; 0 when it names none.
int passivePort(const std::string& reply);

// A connection to 127.0.0.1:port from the given loopback source address.
int connectFrom(const std::string& source, int port);

}  // namespace qv::test
