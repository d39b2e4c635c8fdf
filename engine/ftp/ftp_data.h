// FTP data connections, run on the control connection's own thread.
//
// A session prepares one of two ways to reach the client: PASV opens a
// listening socket on the control connection's local address (one per
// session; a new PASV replaces it), PORT names the client's address and
// port.  A transfer command then opens the data connection (accepting once
// on the passive socket, or connecting out) with a bounded wait, moves the
// bytes and closes it.  Every wait also watches the control connection: a
// session whose control connection ends (a client that hangs up, or the
// engine stopping, which shuts every live control socket down) never waits
// on for its data connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/ftp/ftp_commands.h"
#include "engine/platform/unique_fd.h"

namespace qv {

// How a transfer ended.
enum class DataResult {
    kDone,        // every byte moved, the peer closed where it should
    kBroken,      // the peer went away, stalled, or the control connection ended
    kLocalError,  // a file read or write failed here
    kTooLarge,    // an upload passed the size limit
};

class DataLink {
public:
    // PASV: a listening socket on the control socket's local address, port
    // chosen by the system.  False when it cannot be opened; the passive
    // address and port otherwise (`address` in network byte order).
    bool openPassive(int controlSock, uint32_t& address, int& port);
    // PORT: connect out to this target for every following transfer.
    void setActive(const PortTarget& target);
    void clear();
    bool prepared() const { return listener_.valid() || active_.has_value(); }
    bool passive() const { return listener_.valid(); }

    // Opens the data connection for one transfer: the first connection to
    // the passive socket from `peerIp` (others are dropped and the wait
    // goes on; the listener is closed once one is taken), or a connection
    // out to the PORT target.  An invalid descriptor when the time passed,
    // the control connection ended or the connection failed.
    UniqueFd open(int controlSock, uint32_t peerIp, std::chrono::milliseconds timeout);

private:
    UniqueFd accept(int controlSock, uint32_t peerIp, std::chrono::milliseconds timeout);
    UniqueFd connectOut(int controlSock, std::chrono::milliseconds timeout) const;

    UniqueFd listener_;
    std::optional<PortTarget> active_;
};

// Longest a data connection may stall in mid-transfer.
constexpr int kDataStallSeconds = 300;

// Sends the bytes on the data connection; `sent` counts what left.
DataResult sendData(int dataSock, int controlSock, std::string_view bytes, uint64_t& sent);
// Sends the whole open file.
DataResult sendFileData(int dataSock, int controlSock, int fileFd, uint64_t& sent);
// Writes everything the peer sends, until it closes, to the open file; at
// most `maxBytes`.
DataResult receiveToFile(int dataSock, int controlSock, int fileFd, uint64_t maxBytes, uint64_t& received);

}  // namespace qv
