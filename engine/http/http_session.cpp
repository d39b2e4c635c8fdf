#include "engine/http/http_session.h"

#include <ctime>

#include "engine/core/engine.h"
#include "engine/core/io.h"
#include "engine/core/socket_info.h"
#include "engine/http/hit_counts.h"
#include "engine/http/request_reader.h"
#include "engine/http/response.h"
#include "engine/http/routing.h"
#include "engine/log/request_log.h"
#include "engine/log/strings.h"
#include "engine/output.h"

namespace qv {

namespace {

void prepareRequest(Connection& c, Server& server, HttpRequest& r) {
    r.settings = server.engine.settings.get();
    r.virtualAlias = server.virtualAlias;
    r.startTime = std::time(nullptr);
    r.status = 200;
    r.sentBefore = c.bytesSent;
    setSocketUser(c.socketInfo, "anybody");
    r.userAgent.clear();
    r.contentType.clear();
    r.referer.clear();
}

// One request from its line to its answer; false when the connection ends.
bool serveRequest(Connection& c, Server& server, HttpRequest& r) {
    prepareRequest(c, server, r);
    const Settings& s = *r.settings;
    // The whole head (request line and headers) must arrive within one
    // read time-out.
    HeadBudget budget = headBudget(s.http_read_timeout);
    if (readRequestLine(c, r, budget) <= 0) return false;
    r.lineRead = true;
    std::string url;
    splitRequestLine(r.requestLine, r.method, url, r.protocol);
    splitUrl(url, r.urlPath, r.pathInfo, r.query);
    if (r.method.empty()) return false;
    r.fullRequest = startsWithNoCase(r.protocol, "HTTP");
    if (r.fullRequest) {
        if (readHeaders(c, r, budget, s.keep_alive) != 0) return false;
        int body = readRequestBody(c, r, s.http_read_timeout, s.max_body_size);
        if (body == kBodyTooLarge) sendError(c, r, 500);
        if (body != 0) return false;
    }
    if (url.empty()) return false;
    setSocketActivity(c.socketInfo, url);
    if (s.view_commands) debugPrintf("%.80s - '%.256s'\r\n", c.peerName().c_str(), url.c_str());
    if (r.pathInfo && !r.pathInfo->empty() && r.pathInfo->size() < 259) r.pathInfo = "/" + *r.pathInfo;
    Exchange exchange {c, server, r, url, {}, {}};
    routeRequest(exchange);
    return r.keepAliveGranted;
}

// The logs' record of a request whose response has gone out.
void logServed(Connection& c, HttpRequest& r) {
    LoggedRequest logged;
    logged.start = r.startTime;
    logged.method = r.method;
    std::string protocol;
    splitRequestLine(r.requestLine, logged.method, logged.url, protocol);
    urlUnescape(logged.url, false);
    logged.counterKey = counterKey(r);
    logged.userAgent = r.userAgent;
    logged.referer = r.referer;
    logged.user = r.user;
    logged.status = r.status;
    logged.bytes = static_cast<int64_t>(c.bytesSent - r.sentBefore);
    logRequest(c, *r.settings, logged);
    updateCounters(c, r);
}

void logClosing(const Connection& c, const HttpRequest& r) {
    long seconds = static_cast<long>(std::time(nullptr) - r.startTime);
    long bytes = static_cast<long>(c.bytesSent);
    debugPrintf("Closed %.80s  Bytes sent = %ld in %ld sec at %ld bytes/sec\r\n", c.peerName().c_str(), bytes,
                seconds, seconds > 0 ? bytes / seconds : bytes);
}

}  // namespace

void serveHttp(Connection& c) {
    Server& server = *c.server();
    HttpRequest r;
    while (serveRequest(c, server, r)) {
        flushSend(c);
        logServed(c, r);
        resetRequest(r);
        debugPrint("Keep-Alive\r\n");
    }
    flushSend(c);
    if (r.lineRead) logServed(c, r);
    closeConnection(c);
    if (r.settings && r.settings->view_closing) logClosing(c, r);
}

}  // namespace qv
