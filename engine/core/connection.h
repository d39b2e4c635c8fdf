// Connections and servers.  A `Connection` is one TCP connection served by
// one thread; a `Server` is one of the configured servers, itself a
// Connection whose socket listens.  Registration runs through two virtual
// operations: a plain Connection hands them to its parent (so an FTP data
// connection registers with the server of its control connection), a Server
// performs them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <string>

#include "engine/quorvane.h"

namespace qv {

struct SocketInfo;
class Server;
class NamedMutex;

constexpr std::size_t kSendBufferSize = 8192;
constexpr std::size_t kReadAheadSize = 4096;
constexpr std::size_t kPeerAddressSize = 32;

class Connection {
public:
    explicit Connection(Connection* parent = nullptr);
    // Closes the socket when it is still open: a connection owns it.
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    virtual void removeConnection(Connection* connection);
    virtual void addConnection(Connection* connection);

    // The server this connection belongs to (itself for a server), found
    // through the parents; null for a connection that has none.
    Server* server();

    // The peer's host name when one was found, else its address text.
    const std::string& peerName() const { return resolvedName.empty() ? peerAddress : resolvedName; }

    int sock = -1;  // -1 until set; owned
    int port = 0;
    std::array<char, kSendBufferSize> sendBuffer;
    std::size_t sendLength = 0;
    std::array<char, kReadAheadSize> readAhead;  // received, not yet read (see readSocket)
    std::size_t readStart = 0;
    std::size_t readEnd = 0;
    uint64_t bytesSent = 0;
    uint64_t sentBeforeRead = 0;  // bytesSent when the socket was last read
    std::atomic<int> state{0};
    int transferCode = 0;
    uint32_t serverKind = 0;
    SocketInfo* socketInfo = nullptr;
    std::string hostName;
    std::string ipAddress;
    int serverNumber = 0;
    uint32_t peerIp = 0;  // network byte order; 0 when unknown
    std::string peerAddress = "unknown";  // at most 31 characters
    std::string resolvedName;             // at most 255 characters
    Connection* next = nullptr;
    Connection* prev = nullptr;
    Connection* parent = nullptr;
    int slot = 0;
};

class Server : public Connection {
public:
    Server(Engine& engine, int number);

    void removeConnection(Connection* connection) override;
    void addConnection(Connection* connection) override;

    Engine& engine;
    std::atomic<int> openConnections{0};
    std::atomic<int> peakConnections{0};
    std::atomic<int> totalConnections{0};
    std::atomic<int> overloadCount{0};
    const Protocol* protocol = nullptr;  // the row of the engine's protocol table
    NamedMutex* countMutex = nullptr;
    NamedMutex* logMutex = nullptr;
    int32_t totalConnects = 0;
    int32_t totalFilesSentOK = 0;
    double totalBytesSent = 0;
    std::string docDir;        // document folder, ends in "/"
    std::string logDir;        // log folder
    std::string virtualAlias;  // at most 127 characters, no final "/"
    uint32_t listenAddress = 0;  // the address the listening socket reports (network order)
    // hostName came from host%d or hostname rather than from the system:
    // only a configured name is one that clients are sure to resolve.
    bool hostNameConfigured = false;
    std::atomic<bool> stopFlag{false};

    // The threads at the listening socket (see accept.h): `waiting` are
    // blocked in accept, `atListener` also counts those that returned from
    // it and have not yet admitted or turned away what they accepted.
    struct Acceptors {
        std::mutex mutex;
        std::condition_variable idle;  // notified when atListener drops to 0
        int waiting = 0;
        int atListener = 0;
    } acceptors;
};

}  // namespace qv
