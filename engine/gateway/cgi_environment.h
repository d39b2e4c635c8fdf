// The environment a gateway program starts with: the server's own, less
// what a program must not inherit, plus the request's variables.
//
// Wire contract (towards programs): every variable of the Windows CGI
// interface under its own name ("Request_Method") and upper-cased
// ("REQUEST_METHOD"), and the CGI/1.1 variables (REMOTE_ADDR,
// SERVER_PROTOCOL, GATEWAY_INTERFACE, HTTP_USER_AGENT, HTTP_<header>, ...).
#pragma once

#include <string>
#include <vector>

#include "engine/gateway/cgi_facts.h"

namespace qv {

// "NAME=value" entries.  `inherited` is a null-terminated environment like
// `environ`; its entries that the request sets (under either spelling),
// every HTTP_* entry and the service manager's entries are left out.
std::vector<std::string> cgiEnvironment(const CgiFacts& facts, const char* const* inherited);

}  // namespace qv
