// Accepting connections and keeping the registry of live ones: the accept
// loop of each server, the hand-over to a connection thread, and the
// register / unregister operations that keep the counts, the per-server
// list and the connection's SocketInfoList record.
#pragma once

#include "engine/core/connection.h"

namespace qv {

struct Engine;

// The accept thread of a server: accepts until the server is stopped,
// turning connections away while the engine is paused or when no thread can
// be started for them.  Returns 0.
int acceptLoop(Server& server);

// Shuts down the socket of every live connection and waits until every
// connection thread has ended.  The wait has no time limit of its own: the
// sockets are shut, and every other wait of a connection thread is bounded.
void endLiveConnections(Engine& engine);

}  // namespace qv
