// The Gopher server: one selector line per connection, answered with a file
// or with a menu of a folder, then the connection is closed.
#pragma once

#include "engine/core/connection.h"

namespace qv {

// The protocol handler of Gopher servers.
void serveGopher(Connection& c);

}  // namespace qv
