// Reading an HTTP request from its connection: the request line, the header
// lines of a full request and the announced body.
#pragma once

#include <cstdint>

#include "engine/core/connection.h"
#include "engine/http/request.h"

namespace qv {

// readRequestBody results besides 0.
constexpr int kBodyTooLarge = -3;   // announced body over the limit: answer 500 and close
constexpr int kBodyIncomplete = -1; // the client stopped or left before the whole body came

// Reads the request line into r.requestLine; its length, or 0 or less when
// the connection ended or timed out.  A line longer than 1,024 characters is
// cut there; its rest is read as the next line.
int readRequestLine(Connection& c, HttpRequest& r, int timeoutSeconds);

// Reads header lines until the blank line (or a failed read, which ends the
// header phase without cancelling the request).  Copies a Basic user name
// into the connection's SocketInfo record as soon as it is known.
void readHeaders(Connection& c, HttpRequest& r, int timeoutSeconds, int keepAliveSetting);

// Reads the whole announced body, each piece within the time-out.  0 when
// read (or none announced); kBodyTooLarge when the length exceeds
// `maxBody` (nothing is read); kBodyIncomplete when it did not all arrive.
int readRequestBody(Connection& c, HttpRequest& r, int timeoutSeconds, int64_t maxBody);

}  // namespace qv
