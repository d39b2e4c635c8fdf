#include "engine/core/accept.h"

#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/core/engine.h"
#include "engine/core/io.h"
#include "engine/core/server_table.h"
#include "engine/output.h"

namespace qv {

namespace {

constexpr std::string_view kOverloadFirst = "HTTP/1.0 502 Service temporarily overloaded\r\n\r\n";
constexpr std::string_view kOverloadSecond =
    "\r\n\r\nSorry, the server is temporarily overloaded.  Please try again in a few minutes.\r\n";

// How long a paused server waits for the request it reads before replying.
// Other threads go on accepting meanwhile, but it is kept short.
constexpr int kPausedReadWaitMs = 1000;

// A descriptor-limit failure of accept repeats at once until a connection
// ends; pausing briefly keeps the loop from spinning and flooding the log.
constexpr int kAcceptRetryMs = 100;

// A thread that waited this long in accept for nothing leaves when another
// is waiting too; at most this many wait at one server, the rest leave
// after their connection (the thread pool keeps them a while longer).
constexpr int kIdleAcceptSeconds = 30;
constexpr int kMaxWaiting = 64;

// Protocols whose client speaks first are accepted once the client's first
// bytes have arrived, which saves the serving thread a wake-up.  A client
// that sends nothing is still accepted after about this many seconds, and
// then meets the protocol's own read time-out.
constexpr int kDeferAcceptSeconds = 1;

// Reads (and drops) up to 1,024 bytes of what the client has sent.
void readPendingRequest(int sock) {
    pollfd p {sock, POLLIN, 0};
    if (poll(&p, 1, kPausedReadWaitMs) <= 0) return;
    char buf[1024];
    recv(sock, buf, sizeof buf, MSG_DONTWAIT);
}

// Closes a connection turned away at the door.  The socket still has the
// listening socket's 5000-second linger, which would hold the thread in
// close() while a client that vanished never acknowledges the reply; it is
// switched off first.
void closeTurnedAway(Connection& c) {
    linger off {0, 0};
    setsockopt(c.sock, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    close(c.sock);
    c.sock = -1;
}

void refusePaused(Server& server, Connection& c) {
    Engine& engine = server.engine;
    debugPrintf("Refusing connection from [%s]!\r\n", dottedAddress(c.peerIp).c_str());
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

// Settings every accepted socket gets.  The listening socket's linger and
// receive time-out are inherited on this system; a connection's close must
// never block its thread, and its reads keep their own deadlines, so both
// are turned off again.  Sends get a time-out so that a client that stops
// reading cannot hold a thread forever.
//
// Every response is written whole (a header held back with MSG_MORE goes
// out with the body), so Nagle's delay only hurts: without TCP_NODELAY the
// last small segment of a keep-alive response waits for the client's
// delayed acknowledgement, some 40 ms.
void prepareAcceptedSocket(int sock) {
    linger off {0, 0};
    setsockopt(sock, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    timeval none {0, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    timeval stall {kTransferStallSeconds, 0};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
    int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// The life of an admitted connection: registered before its protocol
// serves it, unregistered after, whatever the handler did.
void runConnection(Engine& engine, Connection* c, ProtocolHandler serve) {
    prepareAcceptedSocket(c->sock);
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

// sendfile has no MSG_NOSIGNAL: a client that leaves while a file goes out
// would raise SIGPIPE, whose default action ends the process.  The engine
// blocks it on its own threads instead of changing the disposition for the
// whole process (a host that embeds the engine keeps its own), and the
// failed send returns EPIPE.  A child process started from such a thread
// must have its signal mask reset.
void blockBrokenPipeSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool isResourceShortage(int err) { return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM; }

void acceptorBody(Server& server, bool first);

bool startAcceptor(Server& server, bool first) {
    Engine& engine = server.engine;
    std::function<void()> body = [&server, first] { acceptorBody(server, first); };
    // The test seam stands for the threads connections need; the first
    // accepting thread always comes from the pool.
    if (!first && engine.options.startThread) return engine.options.startThread(std::move(body));
    return engine.connectionThreads.start(std::move(body));
}

// Leaves the listening socket; the last to leave during a stop lets
// stopAccepting close it.
void leaveListener(Server& server) {
    std::lock_guard lock(server.acceptors.mutex);
    if (--server.acceptors.atListener == 0) server.acceptors.idle.notify_all();
}

// What a thread does after accept failed: true when it should leave.
bool afterAcceptFailure(Server& server, int err, bool first) {
    if (server.stopFlag) return true;  // stopAccepting shut the listening socket
    if (err == EAGAIN || err == EWOULDBLOCK) {
        // Waited kIdleAcceptSeconds for nothing: a spare thread leaves.
        std::lock_guard lock(server.acceptors.mutex);
        return !first && server.acceptors.waiting > 0;
    }
    if (err == EINTR || err == ECONNABORTED) return false;
    server.state = 60;
    debugPrint("Error on accept call\r\n");
    debugPrintf("Reason: %d\r\n", err);
    if (isResourceShortage(err)) usleep(kAcceptRetryMs * 1000);
    return false;
}

// Decides what becomes of a connection just accepted: turned away (paused,
// no place, or no thread to take this one's place at the socket) or served
// by this thread.  Returns it when it is to be served.
Connection* admitAccepted(Server& server, std::unique_ptr<Connection> c, bool lastWaiting) {
    Engine& engine = server.engine;
    if (engine.paused) {
        refusePaused(server, *c);
        return nullptr;
    }
    server.state = 70;
    if (lastWaiting && !startAcceptor(server, false)) {
        refuseOverloaded(server, *c);
        return nullptr;
    }
    if (!admit(engine, c.get())) {
        refuseOverloaded(server, *c);
        return nullptr;
    }
    return c.release();
}

// One thread's life at a server: accept, serve what it accepted, and come
// back, until the server stops or this thread is not needed.  The first
// thread stays for as long as the server runs.
void acceptorBody(Server& server, bool first) {
    Engine& engine = server.engine;
    blockBrokenPipeSignal();
    for (;;) {
        {
            std::lock_guard lock(server.acceptors.mutex);
            if (server.stopFlag) return;
            server.acceptors.atListener++;
            server.acceptors.waiting++;
        }
        server.state = 50;
        sockaddr_in peer {};
        socklen_t len = sizeof peer;
        int fd = accept4(server.sock, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        int err = errno;
        bool lastWaiting;
        {
            std::lock_guard lock(server.acceptors.mutex);
            lastWaiting = --server.acceptors.waiting == 0;
        }
        if (fd < 0) {
            bool leave = afterAcceptFailure(server, err, first);
            leaveListener(server);
            if (leave) return;
            continue;
        }
        auto accepted = std::make_unique<Connection>(&server);
        accepted->sock = fd;
        accepted->port = server.port;
        accepted->peerIp = peer.sin_addr.s_addr;
        Connection* c = admitAccepted(server, std::move(accepted), lastWaiting);
        leaveListener(server);
        if (!c) continue;
        runConnection(engine, c, server.protocol->serve);
        std::lock_guard lock(server.acceptors.mutex);
        if (!first && server.acceptors.waiting >= kMaxWaiting) return;
    }
}

void setListenerOptions(Server& server) {
    timeval idle {kIdleAcceptSeconds, 0};
    setsockopt(server.sock, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    if (server.protocol->paused.readsRequestFirst) {
        int seconds = kDeferAcceptSeconds;
        setsockopt(server.sock, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
    }
}

}  // namespace

bool startAccepting(Server& server) {
    setListenerOptions(server);
    return startAcceptor(server, true);
}

void stopAccepting(Server& server) {
    {
        std::lock_guard lock(server.acceptors.mutex);
        server.stopFlag = true;
    }
    shutdown(server.sock, SHUT_RDWR);  // wakes every blocked accept, and fails later ones
    std::unique_lock lock(server.acceptors.mutex);
    // Bounded: accept fails at once on a shut socket, and a connection
    // accepted before is turned away or admitted without waiting on the
    // client longer than the paused reply's short read.
    server.acceptors.idle.wait(lock, [&] { return server.acceptors.atListener == 0; });
    close(server.sock);
    server.sock = -1;
}

}  // namespace qv
