// Accepting connections.  A server's threads take turns at its listening
// socket: idle threads wait in accept, and the one that returns from it
// serves that connection itself, so a new connection costs no hand-over
// to another thread.  When the last waiting thread leaves with a
// connection, it first starts another to take its place at the socket.
// This is still one thread per connection; the threads waiting in accept
// are the idle threads of the pool.
#pragma once

#include "engine/core/connection.h"

namespace qv {

// Starts the server's first accepting thread; false when no thread could
// be started.
bool startAccepting(Server& server);

// Stops accepting: wakes every thread waiting at the listening socket,
// waits until none uses it any more (a connection accepted before is
// admitted and served), and closes it.
void stopAccepting(Server& server);

}  // namespace qv
