// The built-in pages "/~status" (counters of the accepting server, times,
// and every configured server) and "/~status/connections" (the connection
// table).  Neither has a status line or headers: the text is the response.
#pragma once

#include "engine/core/connection.h"

namespace qv {

void sendServerStatus(Connection& c);
void sendConnectionsStatus(Connection& c);

}  // namespace qv
