#include "engine/http/status_page.h"

#include <cstdio>
#include <ctime>

#include "engine/core/engine.h"
#include "engine/core/io.h"
#include "engine/core/socket_info.h"
#include "engine/log/dates.h"
#include "engine/log/strings.h"

namespace qv {

namespace {

std::string countersBlock(const Server& s, std::time_t now, std::time_t start) {
    char block[2048];
    std::snprintf(block, sizeof block,
                  "<table border width=\"90%%\"><tr><th colspan=2>Totals Since Reboot"
                  "<tr><td width=\"30%%\" align=center><table >"
                  "<tr><td align=right>   Hits: </td><td>%d</td>\r\n"
                  "<tr><td align=right>   Serving now: </td><td>%d</td>\r\n"
                  "<tr><td align=right>   Most at once: </td><td>%d</td>\r\n"
                  "<tr><td align=right>   Refused: </td><td>%d</td>\r\n"
                  "</table></td><td align=center><table align=center>"
                  "<tr><td align=right>  Current time is: </td><td>%s</td>\r\n"
                  "<tr><td align=right>  Server Up Since: </td><td>%s</td>\r\n"
                  "<tr><td align=right>    Server Up For: </td><td>%d (days)</td>\r\n"
                  "</table></td></table><p>",
                  s.totalConnections.load(), s.openConnections.load(), s.peakConnections.load(),
                  s.overloadCount.load(), ctimeText(now).c_str(), ctimeText(start).c_str(),
                  static_cast<int>((now - start) / 86400));
    return block;
}

std::string serverRow(const Server& s) {
    std::string link = concat({s.protocol->scheme, "://", s.hostName, ":", std::to_string(s.port)});
    return concat({"<tr><td><a href=", link, ">", link, "</a><td>", s.state >= 50 ? "UP" : "DOWN", "<td>",
                   std::to_string(s.openConnections.load()), "<td>", std::to_string(s.totalConnections.load()),
                   "\r\n"});
}

}  // namespace

void sendServerStatus(Connection& c) {
    Server& server = *c.server();
    Engine& engine = server.engine;
    std::time_t now = std::time(nullptr);
    sendString(c, "<title>Server Stats</title>\r\n");
    sendString(c, "<center>");
    sendString(c, "<h2>Server Status</h2>");
    sendString(c, countersBlock(server, now, static_cast<std::time_t>(engine.startTime.load())));
    sendString(c, "<p><h3>Servers running on this machine</h3>\r\n");
    sendString(c, "<table border>\r\n");
    for (int n = 1; n <= engine.serverCount; ++n)
        if (const Server* s = serverAt(engine, n)) sendString(c, serverRow(*s));
    sendString(c, "</table>\r\n");
}

void sendConnectionsStatus(Connection& c) {
    sendString(c, "\r\n\r\n<pre>");
    // Activity texts are request paths: escaped, as the page is HTML.
    sendString(c, htmlEscape(socketInfoReport(c.server()->engine)));
}

}  // namespace qv
