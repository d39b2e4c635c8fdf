#include "engine/core/registry.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/core/engine.h"
#include "engine/core/io.h"
#include "engine/core/socket_info.h"
#include "engine/output.h"

namespace qv {

namespace {

constexpr std::string_view kOverloadFirst = "HTTP/1.0 502 Service temporarily overloaded\r\n\r\n";
constexpr std::string_view kOverloadSecond =
    "\r\n\r\nSorry, the server is temporarily overloaded.  Please try again in a few minutes.\r\n";

// How long a paused server waits for the request it reads before replying.
// The accept thread does the waiting, so it is kept short.
constexpr int kPausedReadWaitMs = 1000;

// A descriptor-limit failure of accept repeats at once until a connection
// ends; pausing briefly keeps the loop from spinning and flooding the log.
constexpr int kAcceptRetryMs = 100;

std::string dottedQuad(uint32_t networkOrder) {
    const auto* b = reinterpret_cast<const unsigned char*>(&networkOrder);
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return text;
}

// Reads (and drops) up to 1,024 bytes of what the client has sent.
void readPendingRequest(int sock) {
    pollfd p {sock, POLLIN, 0};
    if (poll(&p, 1, kPausedReadWaitMs) <= 0) return;
    char buf[1024];
    recv(sock, buf, sizeof buf, MSG_DONTWAIT);
}

// Closes a connection the accept thread answered itself.  The socket still
// has the listening socket's 5000-second linger, which would hold the
// accept thread in close() while a client that vanished never acknowledges
// the reply; it is switched off first.
void closeTurnedAway(Connection& c) {
    linger off {0, 0};
    setsockopt(c.sock, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    close(c.sock);
    c.sock = -1;
}

void refusePaused(Server& server, Connection& c) {
    Engine& engine = server.engine;
    debugPrintf("Refusing connection from [%s]!\r\n", dottedQuad(c.peerIp).c_str());
    const PausedReply& reply = server.protocol->paused;
    if (reply.readsRequestFirst) readPendingRequest(c.sock);
    std::string second(reply.second);
    if (reply.pausedPageSecond) {
        std::lock_guard lock(engine.pausedPageMutex);
        second = engine.pausedPage + "\r\n";
    }
    if (!reply.first.empty()) sendAll(c.sock, reply.first) && sendAll(c.sock, second);
    closeTurnedAway(c);
}

void refuseOverloaded(Server& server, Connection& c) {
    server.overloadCount++;
    sendAll(c.sock, kOverloadFirst) && sendAll(c.sock, kOverloadSecond);
    closeTurnedAway(c);
}

// Settings every accepted socket gets.  The listening socket's linger
// option is inherited on this system; a connection's close must never
// block its thread, so lingering is turned off again.  Sends get a time-out
// so that a client that stops reading cannot hold a thread forever.
//
// Every response is written whole (a header held back with MSG_MORE goes
// out with the body), so Nagle's delay only hurts: without TCP_NODELAY the
// last small segment of a keep-alive response waits for the client's
// delayed acknowledgement, some 40 ms.
void prepareAcceptedSocket(int sock) {
    linger off {0, 0};
    setsockopt(sock, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    timeval stall {kTransferStallSeconds, 0};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
    int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// The life of an accepted connection on its own thread: registered before
// its protocol serves it, unregistered after, whatever the handler did.
void runConnection(Engine& engine, Connection* c, ProtocolHandler serve) {
    prepareAcceptedSocket(c->sock);  // here, not on the accept thread: connections prepare in parallel
    c->parent->addConnection(c);
    if (serve) serve(*c);
    if (c->sock >= 0) closeConnection(*c);
    c->removeConnection(c);
    {
        std::lock_guard lock(engine.live.mutex);
        engine.live.set.erase(c);
        engine.live.cv.notify_all();
    }
    delete c;
}

// Takes a place among the engine's live connections; false when all
// `max_connections` places are taken.
bool admit(Engine& engine, Connection* c) {
    const std::size_t places = static_cast<std::size_t>(engine.settings.get()->max_connections);
    std::lock_guard lock(engine.live.mutex);
    if (engine.live.set.size() >= places) return false;
    engine.live.set.insert(c);
    return true;
}

// A connection past the engine's limit, or one no thread could be started
// for, gets the overload reply; otherwise its thread serves it.
void handOver(Server& server, std::unique_ptr<Connection> owned) {
    Engine& engine = server.engine;
    server.state = 70;
    if (!admit(engine, owned.get())) {
        refuseOverloaded(server, *owned);
        return;
    }
    Connection* c = owned.release();
    ProtocolHandler serve = server.protocol->serve;
    std::function<void()> body = [&engine, c, serve] { runConnection(engine, c, serve); };
    bool started = engine.options.startThread ? engine.options.startThread(std::move(body))
                                              : engine.connectionThreads.start(std::move(body));
    if (started) return;
    {
        std::lock_guard lock(engine.live.mutex);
        engine.live.set.erase(c);
    }
    refuseOverloaded(server, *c);
    delete c;
}

// sendfile has no MSG_NOSIGNAL: a client that leaves while a file goes out
// would raise SIGPIPE, whose default action ends the process.  The engine
// blocks it on its own threads instead of changing the disposition for the
// whole process (a host that embeds the engine keeps its own); connection
// threads inherit the mask from the accept thread that starts them, and the
// failed send returns EPIPE.  A child process started from such a thread
// must have its signal mask reset.
void blockBrokenPipeSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool isResourceShortage(int err) { return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM; }

}  // namespace

int acceptLoop(Server& server) {
    Engine& engine = server.engine;
    blockBrokenPipeSignal();
    while (!server.stopFlag) {
        server.state = 50;
        auto c = std::make_unique<Connection>(&server);
        c->port = server.port;
        sockaddr_in peer {};
        socklen_t len = sizeof peer;
        int fd = accept4(server.sock, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            if (server.stopFlag) break;  // stopServers shut the listening socket
            server.state = 60;
            debugPrint("Error on accept call\r\n");
            debugPrintf("Reason: %d\r\n", err);
            if (isResourceShortage(err)) usleep(kAcceptRetryMs * 1000);
            continue;
        }
        c->sock = fd;
        c->peerIp = peer.sin_addr.s_addr;
        if (engine.paused)
            refusePaused(server, *c);
        else
            handOver(server, std::move(c));
    }
    return 0;
}

void endLiveConnections(Engine& engine) {
    {
        std::unique_lock lock(engine.live.mutex);
        for (Connection* c : engine.live.set)
            if (c->sock >= 0) shutdown(c->sock, SHUT_RDWR);
        engine.live.cv.wait(lock, [&] { return engine.live.set.empty(); });
    }
    engine.connectionThreads.stop();
}

void Server::addConnection(Connection* c) {
    {
        std::lock_guard lock(engine.registryMutex);
        int open = ++openConnections;
        totalConnections++;
        if (open > peakConnections) peakConnections = open;
        int all = ++engine.openConnections;
        engine.totalConnections++;
        if (all > engine.peakConnections) engine.peakConnections = all;

        c->slot = engine.socketInfo.claim(engine.slotCursor, *countMutex);
        c->next = next;
        if (next) next->prev = c;
        c->prev = this;
        next = c;
    }
    c->parent = this;
    c->hostName = hostName;
    c->ipAddress = ipAddress;

    auto settings = engine.settings.get();
    c->peerAddress = "unknown";
    c->resolvedName.clear();
    sockaddr_in peer {};
    socklen_t len = sizeof peer;
    // An accepted connection knows its peer from accept already.
    if (c->peerIp == 0 && c->sock >= 0 && getpeername(c->sock, reinterpret_cast<sockaddr*>(&peer), &len) == 0)
        c->peerIp = peer.sin_addr.s_addr;
    if (c->peerIp != 0) {
        c->peerAddress = dottedQuad(c->peerIp);
        std::string name;
        if (settings->DNS_mode && engine.hostNames &&
            engine.hostNames->lookup(c->peerIp, settings->DNS_use_cache != 0, name))
            c->resolvedName = name.substr(0, 255);
    }
    if (settings->view_connects) debugPrintf("Connection from %s on port %d\r\n", c->peerName().c_str(), c->port);

    c->socketInfo = engine.socketInfo.record(c->slot);
    c->serverKind = serverKind;
    setSocketPeer(c->socketInfo, c->peerAddress, serverKind);
    socketInfoChanged();
}

void Server::removeConnection(Connection* c) {
    {
        std::lock_guard lock(engine.registryMutex);
        openConnections--;
        engine.openConnections--;
        engine.socketInfo.releaseRecord(c->slot, *countMutex);
        if (c->prev) c->prev->next = c->next;
        if (c->next) c->next->prev = c->prev;
        c->next = c->prev = nullptr;
    }
    c->socketInfo = nullptr;
    socketInfoChanged();
}

}  // namespace qv
