// The request logs of HTTP (and later FTP and Gopher) servers: the access
// log "qvx.log" in the common log layout, the extended log "qvxp.log" with
// tagged fields, "agent.log" and "referer.log", in the server's own log
// folder or the global one; and their rotation through thirty numbered
// generations.
//
// Wire contract of the lines (every field text is made safe first: bytes
// below 0x20 and 0x7F, and '"' in the quoted URL, are written as %XX, so a
// request cannot forge a line):
//   qvx.log      <peer> - <user|-> [<d>/<Mon>/<yyyy>:<hh>:<mm>:<ss> <+hhmm>] "<url>" <status> <bytes>\r\n
//   qvxp.log     log {start <t>} {method <m>}[ {server <kind>}] {url <key>} {bytes <n>} {host <peer>}
//                [ {agent <a>}][ {referer <r>}] {end <t>}\r\n
//   agent.log    <agent>\r\n
//   referer.log  <referer> --> <url>\r\n
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "engine/config/settings.h"

namespace qv {

class Connection;
struct Engine;

// What the logs take from one request.
struct LoggedRequest {
    std::time_t start = 0;
    std::string method;
    std::string url;         // the URL text as requested, decoded
    std::string counterKey;  // the request's hit-counter key; the extended log's {url}
    std::string userAgent;
    std::string referer;
    std::string user;        // the authenticated user; empty for none
    int status = 0;
    int64_t bytes = 0;       // bytes of the response
};

// Who made it: the connection's parts the lines show.
struct LoggedPeer {
    std::string_view address;  // dotted
    std::string_view name;     // resolved name, else the address
    uint32_t serverKind = 0;
    int64_t recordBytes = 0;   // the bytes-sent field of the connection's record
};

// The line texts, "\r\n" included; empty when nothing is written.
std::string accessLogLine(const Settings& s, const LoggedRequest& r, const LoggedPeer& p);
std::string extendedLogLine(const Settings& s, const LoggedRequest& r, const LoggedPeer& p, std::time_t end);
std::string agentLogLine(const LoggedRequest& r);
std::string refererLogLine(const LoggedRequest& r);

// "+hhmm" / "-hhmm": the local zone's offset from UTC at that moment.
std::string zoneOffsetText(std::time_t t);

// Appends the request's lines to the enabled logs of the connection's
// server.
void logRequest(Connection& c, const Settings& s, const LoggedRequest& r);

// Rotates "<folder><base>.<extension>": generation 030 is deleted, 001-029
// move up one, the current file becomes 001, and an empty current file is
// made (one a writer made meanwhile is kept, not emptied).  Serialised
// across engines by the log mutex.  Returns 1.
int CycleLogs(Engine& engine, const std::string& folder, const std::string& base, const std::string& extension);

}  // namespace qv
