#include "engine/http/routing.h"

#include <ctime>

#include "engine/config/file_types.h"
#include "engine/core/engine.h"
#include "engine/core/files.h"
#include "engine/gateway/cgi_run.h"
#include "engine/gateway/extension_run.h"
#include "engine/http/image_map.h"
#include "engine/http/message_board.h"
#include "engine/http/response.h"
#include "engine/http/static_files.h"
#include "engine/http/status_page.h"
#include "engine/log/dates.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/profile.h"

namespace qv {

namespace {

// True when the responder answered; false to let the next one try.
using Responder = bool (*)(Exchange& x);

// The status pages are bare text by design; a request that names an HTTP
// version gets a status line and headers first, which browsers insist on.
bool serveStatusPages(Exchange& x) {
    bool connections = startsWithNoCase(x.url, "/~status/connections");
    if (!connections && !startsWithNoCase(x.url, "/~status")) return false;
    if (x.r.fullRequest) sendOkHeader(x.c, x.r, 0);
    if (headOnly(x.r)) return true;
    if (connections)
        sendConnectionsStatus(x.c);
    else
        sendServerStatus(x.c);
    return true;
}

// Message boards arrive with their own responder; until then a post is
// answered 500.
bool serveMessageBoard(Exchange& x) {
    if (!startsWithNoCase(x.url, "/messages/") || !equalsNoCase(x.r.method, "POST")) return false;
    doPostMessageBoard(x.c, x.r);
    return true;
}

void refuseByHost(Exchange& x) {
    HttpRequest& r = x.r;
    std::string key = r.alias ? r.alias->access + ".redirect" : std::string(".redirect");
    std::string target(hostRestriction(*r.settings, key).value_or(""));
    if (target.empty()) {
        sendError(x.c, r, kForbiddenByLocation);
        return;
    }
    if (target[0] == '/' || target[0] == '\\')
        target = concat({"http://", x.c.hostName, ":", std::to_string(x.c.port), target});
    sendRedirect(x.c, *r.settings, target, headOnly(r));
}

// Decodes r.urlPath and maps it into `mapped` and `stamp`.
int mapPath(Exchange& x) {
    HttpRequest& r = x.r;
    urlUnescape(r.urlPath, false);
    std::string path = r.urlPath;
    MappingContext context;
    context.root = x.server.docDir;
    context.ownAddress = x.server.listenAddress;
    context.client = x.c.peerAddress;
    if (!r.user.empty()) context.user = r.user;
    if (!r.password.empty()) context.password = r.password;
    std::optional<FileStamp> seen;
    int rc = aliasToDosDir(*r.settings, path, x.mapped, r.alias, context, &seen);
    r.urlPath = path;
    x.stamp = rc != kMapped ? FileStamp {} : seen ? *seen : fileSizeAndDate(x.mapped);
    return rc;
}

// Decodes and maps the path; answers the requests the mapping refuses and
// declines the others with `mapped` and `stamp` filled in.
bool mapRequestPath(Exchange& x) {
    HttpRequest& r = x.r;
    const Settings& s = *r.settings;
    int rc = mapPath(x);
    if (rc == kMapped && x.stamp.size == 0 && r.pathInfo) {
        // Only a file before it makes the rest path info: "/sub.d/file.txt"
        // names a file in the folder "sub.d", as a whole.
        r.urlPath = x.url.substr(0, x.url.find('?'));
        r.pathInfo.reset();
        rc = mapPath(x);
    }
    if (s.view_files) debugPrintf("'%.80s' --> '%.80s'\r\n", r.urlPath.c_str(), x.mapped.c_str());
    if (rc != kMapped) {
        debugPrintf("Error getting file %d\r\n", rc);
        if (rc == kMapLoginNeeded) sendError(x.c, r, 401);
        if (rc == kMapHostRefused) refuseByHost(x);
        return true;
    }
    r.filePath = x.mapped;
    r.fileStamp = x.stamp;
    if (x.stamp.size > 0) {
        // The moment its DOS date and time name (seconds made even), formatted
        // straight from the file time: a round trip through the local-time
        // conversion would read the zone file again on every request.
        std::time_t even = static_cast<std::time_t>(x.stamp.mtime - x.stamp.mtime % 2);
        r.lastModified = localDateText(even);
        r.lastModifiedGmt = httpDate(even);
    }
    return false;
}

// Files in a program folder run: programs of the types "exe", "bat" and
// "pl", extension libraries of the types "dll" and "isa".
bool serveGatewayProgram(Exchange& x) {
    if (x.stamp.size == 0) return false;
    ProgramKind kind = programKind(x.r.alias, x.mapped);
    if (kind == ProgramKind::kNone) return false;
    ProgramCall call;
    if (kind == ProgramKind::kExtension)
        RunIsapiExtension(x.c, x.r, call);
    else
        RunCgiProgram(x.c, x.r, call);
    return true;
}

bool serveImageMapFile(Exchange& x) {
    if (x.stamp.size == 0 || !startsWithNoCase(fileExtension(x.mapped), "map") || !x.r.query ||
        x.r.query->empty())
        return false;
    ResponseWriter w = connectionWriter(x.c, *x.r.settings);
    w.query = *x.r.query;
    w.mapFile = x.mapped;
    w.headOnly = headOnly(x.r);
    serveImageMap(w, x.r.settings->debug3);
    return true;
}

// Size 0 is a folder, an empty file or nothing at all.
bool serveFolderOrMissing(Exchange& x) {
    if (x.stamp.size > 0) return false;
    if (folderExists(x.mapped))
        serveFolder(x.c, x.r);
    else
        sendError(x.c, x.r, 404);
    return true;
}

bool serveFile(Exchange& x) {
    // A settings writer's unfinished file, left by a crash.
    if (isWorkFileName(x.mapped.substr(x.mapped.rfind('/') + 1))) {
        sendError(x.c, x.r, 404);
        return true;
    }
    sendStaticFile(x.c, x.r, x.stamp.size);
    return true;
}

constexpr Responder kResponders[] = {
    serveStatusPages, serveMessageBoard, mapRequestPath, serveGatewayProgram,
    serveImageMapFile, serveFolderOrMissing, serveFile,
};

}  // namespace

void routeRequest(Exchange& x) {
    for (Responder respond : kResponders)
        if (respond(x)) return;
}

}  // namespace qv
