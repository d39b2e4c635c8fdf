#include "engine/talk/talk.h"

#include <array>
#include <cerrno>
#include <deque>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unordered_map>
#include <vector>

#include "engine/core/engine.h"
#include "engine/core/files.h"
#include "engine/core/io.h"
#include "engine/core/socket_info.h"
#include "engine/log/strings.h"
#include "engine/platform/runtime_dir.h"
#include "engine/platform/syscalls.h"
#include "engine/platform/unique_fd.h"
#include "engine/output.h"
#include "engine/talk/talk_commands.h"

namespace qv {

namespace {

constexpr int kTalkReadTimeoutMs = 3600 * 1000;
constexpr std::size_t kReceiveChunk = 4096;
constexpr int kTalkSocketBufferBytes = 64 * 1024;

struct TalkUser {
    bool inUse = false;
    std::string name;
    std::string host;
    std::string picture;
};

// One client of a talk server.  Lines for it wait in `outbox` (guarded by
// the talk mutex) until its own thread writes them as its socket accepts
// them, so a client that stops reading holds up nobody else.  `wake` tells
// that thread that lines are waiting.
struct TalkClient {
    Connection& c;
    UniqueFd wake;
    std::deque<std::string> outbox;
    std::size_t queued = 0;   // bytes in outbox and in the thread's unsent rest
    bool dropped = false;
};

// The users of every talk server of the engine, by connection slot, and the
// clients of each server (newest first).  Guarded by the talk mutex, which
// also serialises every broadcast.
struct TalkState {
    explicit TalkState(Engine& engine) : mutex(engine.options.runtimeFolder, "QVX_TALK_MUTEX") {}
    NamedMutex mutex;
    std::array<TalkUser, kSocketInfoRecords> users;
    std::unordered_map<const Server*, std::vector<TalkClient*>> clients;
};

std::string transcriptPath(Server& server) {
    const std::string& folder = server.logDir.empty() ? server.engine.settings.get()->logdir : server.logDir;
    return joinPath(folder, "talk.txt");
}

// Queues one line for one client; the caller holds the talk mutex.  A
// client whose queue is full has stopped reading: it is dropped, and its
// thread sees its socket shut and leaves.
void queueLocked(TalkClient& to, std::string_view line) {
    if (to.dropped) return;
    if (to.queued + line.size() > kTalkQueueBytes) {
        to.dropped = true;
        shutdown(to.c.sock, SHUT_RDWR);
        debugPrint("Talk client " + to.c.peerName() + " dropped: it stopped reading.\r\n");
        return;
    }
    to.outbox.emplace_back(line);
    to.queued += line.size();
    eventfd_write(to.wake.get(), 1);
}

void broadcastLocked(TalkState& talk, Server& server, std::string_view line) {
    for (TalkClient* client : talk.clients[&server]) queueLocked(*client, line);
    appendToFile(transcriptPath(server), line);
}

void broadcast(TalkState& talk, Server& server, std::string_view line) {
    std::lock_guard lock(talk.mutex);
    broadcastLocked(talk, server, line);
}

void join(TalkState& talk, Server& server, TalkClient& client) {
    Connection& c = client.c;
    std::lock_guard lock(talk.mutex);
    auto& clients = talk.clients[&server];
    clients.insert(clients.begin(), &client);
    talk.users[c.slot] = TalkUser{true, "Somebody", c.peerName().substr(0, kTalkHostLength), ""};
    queueLocked(client, talkGreeting(server.port, server.openConnections));
}

// Handles one line; false when the client leaves.
bool handleLine(TalkState& talk, Server& server, TalkClient& client, std::string& name, const TalkLine& line) {
    Connection& c = client.c;
    const std::string& peer = c.peerName();
    std::lock_guard lock(talk.mutex);
    TalkUser& user = talk.users[c.slot];
    switch (line.command) {
        case TalkCommand::kChat:
            broadcastLocked(talk, server, talkChat(name, peer, line.argument));
            break;
        case TalkCommand::kName:
            name = line.argument;
            user.name = name;
            broadcastLocked(talk, server, talkNewUser(name, peer));
            break;
        case TalkCommand::kPicture:
            user.picture = line.argument;
            queueLocked(client, kTalkImageOk);
            broadcastLocked(talk, server, talkUser(user.name, user.host, user.picture));
            break;
        case TalkCommand::kWho:
            broadcastLocked(talk, server, talkWho(server.openConnections));
            for (const TalkUser& u : talk.users)
                if (u.inUse) broadcastLocked(talk, server, talkUser(u.name, u.host, u.picture));
            break;
        case TalkCommand::kQuit:
            broadcastLocked(talk, server, talkLeaving(name, peer));
            return false;
        case TalkCommand::kIgnore:
            break;
    }
    return true;
}

// Moves what is queued for the client behind `unsent`.
void takeQueued(TalkState& talk, TalkClient& client, std::string& unsent) {
    eventfd_t ignored;
    eventfd_read(client.wake.get(), &ignored);
    std::lock_guard lock(talk.mutex);
    for (std::string& line : client.outbox) unsent += line;
    client.outbox.clear();
}

// Writes as much of `unsent` as the socket takes now; false when the client
// is gone.
bool writeUnsent(TalkState& talk, TalkClient& client, std::string& unsent) {
    std::size_t sent = 0;
    while (sent < unsent.size()) {
        ssize_t n = sysSend(client.c.sock, unsent.data() + sent, unsent.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    unsent.erase(0, sent);
    addSocketBytes(client.c.socketInfo, sent);
    client.c.bytesSent += sent;
    std::lock_guard lock(talk.mutex);
    client.queued -= sent;
    return true;
}

// Reads what the client sent and handles the lines it completes; false
// when the client has closed or asked to leave.
bool readLines(TalkState& talk, Server& server, TalkClient& client, TalkLineSplitter& splitter, std::string& name) {
    char buffer[kReceiveChunk];
    ssize_t n = sysRecv(client.c.sock, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (n == 0) return false;
    std::vector<std::string> lines;
    splitter.feed(std::string_view(buffer, static_cast<std::size_t>(n)), lines);
    for (const std::string& line : lines)
        if (!handleLine(talk, server, client, name, parseTalkLine(line))) return false;
    return true;
}

// Serves the client until it leaves: one poll for what it sends and for
// lines queued for it, with writes only as far as its socket takes them.
void serveClient(TalkState& talk, Server& server, TalkClient& client) {
    TalkLineSplitter splitter;
    std::string name = "Somebody";
    std::string unsent;
    for (;;) {
        short writable = unsent.empty() ? 0 : POLLOUT;
        pollfd waits[2] = {{client.c.sock, static_cast<short>(POLLIN | writable), 0}, {client.wake.get(), POLLIN, 0}};
        int ready = poll(waits, 2, kTalkReadTimeoutMs);
        if (ready < 0 && errno != EINTR) return;
        if (ready <= 0) continue;  // a quiet hour, or a signal
        if (waits[1].revents & POLLIN) takeQueued(talk, client, unsent);
        if (!unsent.empty() && !writeUnsent(talk, client, unsent)) return;
        if ((waits[0].revents & (POLLIN | POLLHUP | POLLERR)) && !readLines(talk, server, client, splitter, name)) {
            // Lines already queued (the farewell among them) still go out,
            // within the socket's send time-out.
            takeQueued(talk, client, unsent);
            if (sendAll(client.c.sock, unsent)) {
                addSocketBytes(client.c.socketInfo, unsent.size());
                client.c.bytesSent += unsent.size();
            }
            return;
        }
    }
}

void leave(TalkState& talk, Server& server, TalkClient& client) {
    std::lock_guard lock(talk.mutex);
    talk.users[client.c.slot].inUse = false;
    std::erase(talk.clients[&server], &client);
    closeConnection(client.c);
}

// A chat needs little buffering in the system: with a fixed socket buffer a
// client that stops reading shows up in its queue, not in memory the system
// grows for it.
void limitSends(int sock) {
    timeval limit {kTalkSendTimeoutSeconds, 0};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int bytes = kTalkSocketBufferBytes;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

}  // namespace

void serveTalk(Connection& c) {
    Server& server = *c.server();
    TalkState& talk = protocolState<TalkState>(server);
    TalkClient client {c, UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), {}, 0, false};
    if (!client.wake.valid()) {
        debugPrint("Talk client " + c.peerName() + " refused: " + systemErrorText());
        return;
    }
    limitSends(c.sock);
    join(talk, server, client);
    broadcast(talk, server, talkNewConnection(c.peerName()));
    serveClient(talk, server, client);
    leave(talk, server, client);
}

}  // namespace qv
