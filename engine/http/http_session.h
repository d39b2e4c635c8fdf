// The HTTP connection thread: reads requests, routes each to the built-in
// pages, folders, image maps or static files, and goes on with the next
// request only when a 200 response with a length granted keep-alive.
#pragma once

#include "engine/core/connection.h"

namespace qv {

// The protocol handler of HTTP servers.
void serveHttp(Connection& c);

}  // namespace qv
