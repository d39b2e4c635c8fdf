#include "engine/gateway/path_info.h"

#include "engine/config/path_mapping.h"
#include "engine/core/engine.h"
#include "engine/http/response.h"
#include "engine/output.h"

namespace qv {

int translatePathInfo(Connection& c, const HttpRequest& r, std::string& translated) {
    translated.clear();
    if (!r.pathInfo || r.pathInfo->empty()) return 0;
    Server* server = c.server();
    MappingContext context;
    if (server) {
        context.root = server->docDir;
        context.ownAddress = server->listenAddress;
    }
    context.client = c.peerAddress;
    if (!r.user.empty()) context.user = r.user;
    if (!r.password.empty()) context.password = r.password;
    std::string path = *r.pathInfo;
    const AliasEntry* alias = nullptr;
    int rc = aliasToDosDir(*r.settings, path, translated, alias, context);
    if (rc == kMapLoginNeeded) return 401;
    if (rc < 0) {
        debugPrint("CGI ACCESS ERROR 1 dopostcgi()\r\n");
        return kForbiddenObject;
    }
    return 0;
}

}  // namespace qv
