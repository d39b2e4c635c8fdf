// Loopback sockets for wire tests; every wait is bounded.
#pragma once

#include <string>

namespace qv::test {

// A client socket connected to 127.0.0.1:port, or -1.
int connectLoopback(int port);

// A connected pair of TCP sockets on loopback: {server side, client side}.
struct TcpPair {
    TcpPair();
    ~TcpPair();
    int server = -1;
    int client = -1;
};

// Closes the socket with a reset (SO_LINGER {1, 0}) instead of an orderly
// end, as a client that crashes or gives up does.
void resetAndClose(int fd);

// True when the peer has closed: a read finds the end of the stream (or a
// reset) at once instead of waiting for more.
bool peerClosed(int fd);

// Reads until the peer closes or `timeoutMs` passes; returns what came.
std::string readUntilClosed(int fd, int timeoutMs);

// Sends the whole text; false on failure.
bool sendText(int fd, const std::string& text);

// Polls `condition` every few milliseconds for up to `timeoutMs`.
template <typename F>
bool eventually(F condition, int timeoutMs = 5000);

void sleepMs(int ms);

// The local and the remote port of a connected socket; 0 when unknown.
int localPort(int fd);
int peerPort(int fd);

template <typename F>
bool eventually(F condition, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        if (condition()) return true;
        sleepMs(5);
    }
    return condition();
}

}  // namespace qv::test
