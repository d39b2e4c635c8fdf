#include "engine/http/http_session.h"

#include <cstdio>
#include <ctime>

#include "engine/config/file_types.h"
#include "engine/config/path_mapping.h"
#include "engine/config/users.h"
#include "engine/core/engine.h"
#include "engine/core/files.h"
#include "engine/core/io.h"
#include "engine/core/socket_info.h"
#include "engine/http/image_map.h"
#include "engine/http/request_reader.h"
#include "engine/http/response.h"
#include "engine/http/static_files.h"
#include "engine/http/status_page.h"
#include "engine/log/dates.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/profile.h"
#include "engine/platform/runtime_dir.h"

namespace qv {

namespace {

// What a request's route did with the connection.
enum class Outcome { kAnswered, kClose };

void prepareRequest(Connection& c, Server& server, HttpRequest& r) {
    r.settings = server.engine.settings.get();
    const std::string& temp = r.settings->tempdir;
    const std::string slot = std::to_string(c.slot);
    r.cgiFiles = {temp + "CGIco" + slot + ".qvx", temp + "CGIin" + slot + ".qvx", temp + "CGIer" + slot + ".qvx",
                  temp + "CGIou" + slot + ".qvx"};
    r.virtualAlias = server.virtualAlias;
    r.startTime = std::time(nullptr);
    r.status = 200;
    setSocketUser(c.socketInfo, "anybody");
    r.userAgent.clear();
    r.contentType.clear();
    r.referer.clear();
}

void refuseByHost(Connection& c, HttpRequest& r) {
    std::string key = r.alias ? r.alias->access + ".redirect" : std::string(".redirect");
    std::string target = ProfileFile(r.settings->iniPath).getString("Host Restrictions", key, "", 256);
    if (target.empty()) {
        sendError(c, r, kForbiddenByLocation);
        return;
    }
    if (target[0] == '/' || target[0] == '\\')
        target = concat({"http://", c.hostName, ":", std::to_string(c.port), target});
    sendRedirect(c, *r.settings, target);
}

// Programs and extension libraries run with the gateway; until then a
// request for one is answered 500, never with the program's own bytes.
bool isGatewayProgram(const HttpRequest& r, std::string_view type) {
    if (!r.alias || !r.alias->programs) return false;
    return startsWithNoCase(type, "exe") || startsWithNoCase(type, "bat") || startsWithNoCase(type, "pl") ||
           equalsNoCase(type, "dll") || equalsNoCase(type, "isa");
}

void serveMapped(Connection& c, HttpRequest& r, const std::string& mapped) {
    const Settings& s = *r.settings;
    std::string_view type = fileExtension(mapped);
    r.filePath = mapped;
    FileStamp stamp = fileSizeAndDate(mapped);
    if (stamp.size > 0) {
        // The moment its DOS date and time name (seconds made even), formatted
        // straight from the file time: a round trip through the local-time
        // conversion would read the zone file again on every request.
        std::time_t even = static_cast<std::time_t>(stamp.mtime - stamp.mtime % 2);
        r.lastModified = localDateText(even);
        r.lastModifiedGmt = httpDate(even);
    }
    if (stamp.size == 0) {
        if (folderExists(mapped))
            serveFolder(c, r);
        else
            sendError(c, r, 404);
    } else if (isGatewayProgram(r, type)) {
        sendError(c, r, 500);
    } else if (startsWithNoCase(type, "map") && r.query && !r.query->empty()) {
        ResponseWriter w = connectionWriter(c, s);
        w.query = *r.query;
        w.mapFile = mapped;
        serveImageMap(w, s.debug3);
    } else {
        sendStaticFile(c, r, stamp.size);
    }
}

void mapAndServe(Connection& c, Server& server, HttpRequest& r) {
    const Settings& s = *r.settings;
    urlUnescape(r.urlPath, false);
    std::string path = r.urlPath;
    std::string mapped;
    MappingContext context;
    context.root = server.docDir;
    context.ownAddress = server.listenAddress;
    context.client = c.peerAddress;
    if (!r.user.empty()) context.user = r.user;
    if (!r.password.empty()) context.password = r.password;
    int rc = aliasToDosDir(s, path, mapped, r.alias, context);
    r.urlPath = path;
    if (s.view_files) debugPrintf("'%.80s' --> '%.80s'\r\n", r.urlPath.c_str(), mapped.c_str());
    if (rc != kMapped) {
        std::printf("Error getting file %d\r\n", rc);
        std::fflush(stdout);
        if (rc == kMapLoginNeeded) sendError(c, r, 401);
        if (rc == kMapHostRefused) refuseByHost(c, r);
        return;
    }
    serveMapped(c, r, mapped);
}

void route(Connection& c, Server& server, HttpRequest& r, const std::string& url) {
    if (startsWithNoCase(url, "/~status/connections")) return sendConnectionsStatus(c);
    if (startsWithNoCase(url, "/~status")) return sendServerStatus(c);
    if (startsWithNoCase(url, "/messages/") && equalsNoCase(r.method, "POST")) {
        // Message boards arrive with their own responder.
        sendError(c, r, 500);
        return;
    }
    mapAndServe(c, server, r);
}

// One request from its line to its answer; false when the connection ends.
bool serveRequest(Connection& c, Server& server, HttpRequest& r) {
    prepareRequest(c, server, r);
    const Settings& s = *r.settings;
    if (readRequestLine(c, r, s.http_read_timeout) <= 0) return false;
    std::string url;
    splitRequestLine(r.requestLine, r.method, url, r.protocol);
    splitUrl(url, r.urlPath, r.pathInfo, r.query);
    if (r.method.empty()) return false;
    r.fullRequest = startsWithNoCase(r.protocol, "HTTP");
    if (r.fullRequest) {
        readHeaders(c, r, s.http_read_timeout, s.keep_alive);
        int body = readRequestBody(c, r, s.http_read_timeout, s.max_body_size);
        if (body == kBodyTooLarge) sendError(c, r, 500);
        if (body != 0) return false;
    }
    if (url.empty()) return false;
    setSocketActivity(c.socketInfo, url);
    if (s.view_commands) debugPrintf("%.80s - '%.256s'\r\n", c.peerName().c_str(), url.c_str());
    if (r.pathInfo && !r.pathInfo->empty() && r.pathInfo->size() < 259) r.pathInfo = "/" + *r.pathInfo;
    route(c, server, r, url);
    return r.keepAliveGranted;
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
    c.parent->addConnection(&c);
    HttpRequest r;
    while (serveRequest(c, server, r)) {
        flushSend(c);
        resetRequest(r);
        debugPrint("Keep-Alive\r\n");
    }
    flushSend(c);
    closeConnection(c);
    if (r.settings && r.settings->view_closing) logClosing(c, r);
    c.removeConnection(&c);
}

}  // namespace qv
