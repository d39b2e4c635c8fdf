// The talk relay: a line-based chat room.  Every line a client sends is
// relayed, tagged with the sender's name and host, to every client of the
// same server and appended to the transcript "talk.txt" in the server's log
// folder.
#pragma once

#include "engine/core/connection.h"

namespace qv {

// The protocol handler of talk relay servers.
void serveTalk(Connection& c);

// How long a send to one talk client may block before that client is
// dropped.  A broadcast holds the talk mutex while it sends to everybody,
// so one client that stops reading must not hold up every sender for longer.
constexpr int kTalkSendTimeoutSeconds = 2;

}  // namespace qv
