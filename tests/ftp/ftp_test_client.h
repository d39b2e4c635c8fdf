// A small FTP client for wire tests: replies read whole (every line of a
// multi-line reply), data connections to the passive port, every wait
// bounded.
#pragma once

#include <string>

#include "tests/support/reply_client.h"

namespace qv::test {

class FtpClient : public ReplyClient {
public:
    using ReplyClient::ReplyClient;
    // USER and PASS; true when logged in.
    bool login(const std::string& user, const std::string& password);
    // PASV, then a connection to the port it names (from `source`, a
    // loopback address); -1 on failure.
    int passiveData(const std::string& source = "127.0.0.1");

    std::string lastPassive;
};

// The port a 227 reply names; 0 when it names none.
int passivePort(const std::string& reply);

// A connection to 127.0.0.1:port from the given loopback source address.
int connectFrom(const std::string& source, int port);

}  // namespace qv::test
