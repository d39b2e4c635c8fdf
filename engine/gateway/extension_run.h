// Running an extension library for one HTTP request: the library (a shared
// object of type "dll" or "isa") is loaded into the server once and called
// on the connection's thread with a control block describing the request
// (see engine/extension.h).  A fault inside the call is reported and the
// connection ends; the server goes on.
#pragma once

#include "engine/gateway/cgi_run.h"

namespace qv {

// 1 when it answered with an error page before calling the library, else 0.
int RunIsapiExtension(Connection& c, HttpRequest& r, const ProgramCall& call);

}  // namespace qv
