#include "engine/core/registry.h"

#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>

#include "engine/core/engine.h"
#include "engine/core/server_table.h"
#include "engine/core/socket_info.h"
#include "engine/output.h"

namespace qv {

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
        c->peerAddress = dottedAddress(c->peerIp);
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
