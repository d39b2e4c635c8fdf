// The talk relay: a line-based chat room.  Every line a client sends is
// relayed, tagged with the sender's name and host, to every client of the
// same server and appended to the transcript "talk.txt" in the server's log
// folder.
#pragma once

#include <cstddef>

#include "engine/core/connection.h"

namespace qv {

// The protocol handler of talk relay servers.
void serveTalk(Connection& c);

// Lines waiting for one talk client, in bytes.  Each client's own thread
// writes its lines as its socket takes them; a client that falls this far
// behind has stopped reading and is dropped, so it holds up nobody else.
constexpr std::size_t kTalkQueueBytes = 256 * 1024;

// How long the last lines to a leaving client (its farewell among them) may
// take to go out.
constexpr int kTalkSendTimeoutSeconds = 2;

}  // namespace qv
