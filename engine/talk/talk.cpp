#include "engine/talk/talk.h"

#include <array>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/core/engine.h"
#include "engine/core/files.h"
#include "engine/core/io.h"
#include "engine/platform/runtime_dir.h"
#include "engine/output.h"
#include "engine/talk/talk_commands.h"

namespace qv {

namespace {

constexpr std::size_t kTalkLineLength = 250;
constexpr int kTalkReadTimeoutSeconds = 3600;
// A chat needs little buffering; a bounded buffer lets a client that stops
// reading show up as a blocked send within kTalkSendTimeoutSeconds.
constexpr int kTalkSocketBufferBytes = 64 * 1024;

struct TalkUser {
    bool inUse = false;
    std::string name;
    std::string host;
    std::string picture;
};

// The users of every talk server of the engine, by connection slot, the
// clients of each server (newest first), and the connections dropped for not
// reading.  Guarded by the talk mutex, which also serialises every broadcast
// and every send to a talk client.
struct TalkState {
    explicit TalkState(Engine& engine) : mutex(engine.options.runtimeFolder, "QVX_TALK_MUTEX") {}
    NamedMutex mutex;
    std::array<TalkUser, kSocketInfoRecords> users;
    std::unordered_map<const Server*, std::vector<Connection*>> clients;
    std::unordered_set<Connection*> dropped;
};

std::string transcriptPath(Server& server) {
    const std::string& folder = server.logDir.empty() ? server.engine.settings.get()->logdir : server.logDir;
    return joinPath(folder, "talk.txt");
}

// Sends one line to one client; the caller holds the talk mutex.
void sendLocked(TalkState& talk, Connection& to, std::string_view line) {
    if (talk.dropped.count(&to)) return;
    if (sendString(to, line) == 0 && flushSend(to) == 0) return;
    talk.dropped.insert(&to);
    to.sendLength = 0;
    shutdown(to.sock, SHUT_RDWR);  // its own thread sees the end of the stream and leaves
    debugPrint("Talk client " + to.peerName() + " dropped: it stopped reading.\r\n");
}

void broadcastLocked(TalkState& talk, Server& server, std::string_view line) {
    for (Connection* c : talk.clients[&server]) sendLocked(talk, *c, line);
    appendToFile(transcriptPath(server), line);
}

void broadcast(TalkState& talk, Server& server, std::string_view line) {
    std::lock_guard lock(talk.mutex);
    broadcastLocked(talk, server, line);
}

void join(TalkState& talk, Server& server, Connection& c) {
    std::lock_guard lock(talk.mutex);
    auto& clients = talk.clients[&server];
    clients.insert(clients.begin(), &c);
    TalkUser& user = talk.users[c.slot];
    user = TalkUser{true, "Somebody", c.peerName().substr(0, kTalkHostLength), ""};
    sendLocked(talk, c, talkGreeting(server.port, server.openConnections));
}

void leave(TalkState& talk, Server& server, Connection& c) {
    std::lock_guard lock(talk.mutex);
    talk.users[c.slot].inUse = false;
    talk.dropped.erase(&c);
    std::erase(talk.clients[&server], &c);
    closeConnection(c);
}

// Handles one line; false when the client leaves.
bool handleLine(TalkState& talk, Server& server, Connection& c, std::string& name, const TalkLine& line) {
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
            sendLocked(talk, c, kTalkImageOk);
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
    limitSends(c.sock);
    join(talk, server, c);
    broadcast(talk, server, talkNewConnection(c.peerName()));

    std::string name = "Somebody";
    std::array<char, kTalkLineLength + 1> buffer;
    for (;;) {
        int n = readSocket(c, buffer, true, kTalkReadTimeoutSeconds);
        if (n == -2 || n == 0) continue;  // a quiet hour or an empty line
        if (n < 0) break;
        if (!handleLine(talk, server, c, name, parseTalkLine(std::string_view(buffer.data(), n)))) break;
    }
    leave(talk, server, c);
}

}  // namespace qv
