// The registry of live connections: the register / unregister operations
// that keep the counts, the per-server list and the connection's
// SocketInfoList record, and the end of them all when the engine stops.
#pragma once

#include "engine/core/connection.h"

namespace qv {

struct Engine;

// Shuts down the socket of every live connection and waits until every
// connection thread has ended.  The wait has no time limit of its own: the
// sockets are shut, and every other wait of a connection thread is bounded.
void endLiveConnections(Engine& engine);

}  // namespace qv
