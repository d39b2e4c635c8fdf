// What a gateway program is told about its request, gathered once: the
// request profile and the environment are both written from it.
#pragma once

#include <cstdint>
#include <string>

#include "engine/http/var_list.h"

namespace qv {

class Connection;
struct HttpRequest;
struct WorkFiles;

struct CgiFacts {
    std::string protocol;        // "HTTP/0.9" for a request line without one
    std::string method;
    std::string urlPath;         // without query and path info
    std::string executablePath;  // the URL path without a final "/"
    std::string requestUri;      // the URL as the request line gave it
    std::string scriptPath;      // the program file
    std::string pathInfo;        // empty or starting with "/"
    std::string pathTranslated;  // the path info mapped to a file, or empty
    std::string query;           // as received, not decoded
    std::string referer;
    std::string userAgent;
    std::string contentType;
    int64_t contentLength = 0;
    std::string user;            // from Basic authorization, or empty
    const VarList* headers = nullptr;  // headers the server does not use itself
    const VarList* accept = nullptr;   // the Accept entries
    const VarList* form = nullptr;     // posted form fields, when the body is a form
    std::string serverName;
    int serverPort = 0;
    std::string documentRoot;
    std::string serverAdmin;
    std::string realm;
    std::string remoteAddress;
    std::string remoteHost;      // the resolved name, or the address when none
    std::string gmtOffset;       // the GMT_Offset setting
    std::string debugMode;       // the Debug_Mode setting
    std::string contentFile;
    std::string outputFile;
};

// The facts of request `r` on connection `c`, with the work files' names,
// the path info's file and the posted form (which must outlive them).
CgiFacts cgiFacts(Connection& c, const HttpRequest& r, const WorkFiles& files, const std::string& pathTranslated,
                  const VarList* form);

}  // namespace qv
