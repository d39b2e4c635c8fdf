// A client for line protocols whose replies are "ddd text" lines, the last
// line of a multi-line reply marked by a blank after its code (FTP, SMTP):
// replies read whole, every wait bounded.
#pragma once

#include <string>

namespace qv::test {

class ReplyClient {
public:
    explicit ReplyClient(int port);
    ~ReplyClient();
    ReplyClient(const ReplyClient&) = delete;
    ReplyClient& operator=(const ReplyClient&) = delete;

    // The next complete reply (all its lines), or what came before the
    // peer closed or the time passed.
    std::string reply(int timeoutMs = 10000);
    // Sends the line (CR LF added) and reads the reply.
    std::string command(const std::string& line, int timeoutMs = 10000);
    void send(const std::string& line);

    int fd = -1;

private:
    std::string pending_;
};

}  // namespace qv::test
