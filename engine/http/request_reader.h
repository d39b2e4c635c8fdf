// Reading an HTTP request from its connection: the request line, the header
// lines of a full request and the announced body.
//
// The head of a request (its line and its headers) must arrive within one
// read time-out counted once, in at most kMaxHeaderLines header lines and
// kMaxHeadBytes bytes; past any of these the connection is closed without an
// answer and the request is not served.  A line longer than its field is cut
// to the field and the rest of it dropped: the tail of a line never passes
// for a header of its own.
#pragma once

#include <cstdint>

#include "engine/core/connection.h"
#include "engine/http/request.h"
#include "engine/platform/clock.h"

namespace qv {

constexpr int kMaxHeaderLines = 100;
constexpr std::size_t kMaxHeadBytes = 64 * 1024;

// What is left for the head of one request.
struct HeadBudget {
    SteadyClock::time_point deadline;
    std::size_t bytes = kMaxHeadBytes;
    int lines = kMaxHeaderLines;
};

// A budget for a request whose head may take `timeoutSeconds` from now.
HeadBudget headBudget(int timeoutSeconds);

// readHeaders and readRequestBody results besides 0.
constexpr int kBodyTooLarge = -3;   // announced body over the limit: answer 500 and close
constexpr int kBodyIncomplete = -1; // the client stopped or left before the whole body came
constexpr int kHeadRefused = -4;    // over a limit, past the deadline, or not a request to serve: close

// Reads the request line into r.requestLine (cut to 1,024 characters); its
// length, or 0 or less when the connection ended, timed out or went over
// the budget.
int readRequestLine(Connection& c, HttpRequest& r, HeadBudget& budget);

// Reads header lines up to the blank line.  0 when the head is complete;
// kHeadRefused when it went over the budget, the client left or stopped,
// or a header makes the request one not to serve (see parseHeaderLine).
// Copies a Basic user name into the connection's SocketInfo record as soon
// as it is known.
int readHeaders(Connection& c, HttpRequest& r, HeadBudget& budget, int keepAliveSetting);

// Reads the whole announced body, each piece within the time-out; memory
// grows with what arrives, not with what was announced.  0 when read (or
// none announced); kBodyTooLarge when the length exceeds `maxBody`
// (nothing is read); kBodyIncomplete when it did not all arrive.
int readRequestBody(Connection& c, HttpRequest& r, int timeoutSeconds, int64_t maxBody);

}  // namespace qv
