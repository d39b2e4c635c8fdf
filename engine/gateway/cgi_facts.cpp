#include "engine/gateway/cgi_facts.h"

#include "engine/core/connection.h"
#include "engine/gateway/work_files.h"
#include "engine/http/request.h"
#include "engine/platform/runtime_dir.h"

namespace qv {

CgiFacts cgiFacts(Connection& c, const HttpRequest& r, const WorkFiles& files, const std::string& pathTranslated,
                  const VarList* form) {
    const Settings& s = *r.settings;
    CgiFacts f;
    f.protocol = r.protocol.empty() ? "HTTP/0.9" : r.protocol;
    f.method = r.method;
    f.urlPath = r.urlPath;
    f.executablePath = r.urlPath;
    if (f.executablePath.size() > 1 && f.executablePath.back() == '/') f.executablePath.pop_back();
    std::string method, protocol;
    splitRequestLine(r.requestLine, method, f.requestUri, protocol);
    // Programs start in folders of their own: every path they get is absolute.
    f.scriptPath = absolutePath(r.filePath);
    f.pathInfo = r.pathInfo.value_or("");
    f.pathTranslated = absolutePath(pathTranslated);
    f.query = r.query.value_or("");
    f.referer = r.referer;
    f.userAgent = r.userAgent;
    f.contentType = r.contentType;
    f.contentLength = r.contentLength;
    f.user = r.user;
    f.headers = &r.headers;
    f.accept = &r.acceptList;
    f.form = form;
    f.serverName = c.hostName;
    f.serverPort = c.port;
    if (Server* server = c.server()) f.documentRoot = absolutePath(server->docDir);
    f.serverAdmin = s.email;
    f.realm = s.security_realm;
    f.remoteAddress = c.peerAddress;
    f.remoteHost = c.peerName();
    f.gmtOffset = s.GMT_Offset;
    f.debugMode = s.Debug_Mode;
    f.contentFile = files.content;
    f.outputFile = files.output;
    return f;
}

}  // namespace qv
