// Responses the server makes itself: the 200 header in front of a file or
// page, error pages rendered from templates, and the 302 redirect.  Every
// status line says HTTP/1.0 and names the server as "Quorvane/<version>".
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/core/connection.h"
#include "engine/http/request.h"

namespace qv {

// Internal codes that send 403 with a page of their own.
constexpr int kForbiddenByLocation = 1403;
constexpr int kForbiddenObject = 2403;

// Where the redirect and image-map responders write, so they do not depend
// on the kind of connection.
struct ResponseWriter {
    std::function<void(std::string_view)> write;
    std::string query;
    std::string mapFile;
    std::optional<std::string> contentType;  // none: text/html
    int debug1 = 0;                          // log "Redirecting to [...]"
    bool headOnly = false;                   // a HEAD request: no body
};

ResponseWriter connectionWriter(Connection& c, const Settings& s);

// The 200 header; with a length above 0 it carries content-length, and
// keep-alive is granted when the client asked for it.
void sendOkHeader(Connection& c, HttpRequest& r, int64_t length);
std::string okHeader(HttpRequest& r, int64_t length);
// The same header with another status ("403 Forbidden").
std::string responseHeader(HttpRequest& r, std::string_view status, int64_t length);

// The error response for r.status (1403 and 2403 are stored back as 403).
// It carries no length and never keeps the connection alive; a HEAD
// request gets its headers only.
void sendErrorPage(Connection& c, HttpRequest& r);
// Stores the code in r.status, then sendErrorPage.
void sendError(Connection& c, HttpRequest& r, int code);

// The 302 to `target`.  Control bytes in the target (a folder name may hold
// CR LF) are %-encoded in the Location header, and the page shows it
// HTML-escaped.
void sendRedirect(Connection& c, const Settings& s, std::string_view target, bool headOnly = false);
void writeRedirect(ResponseWriter& w, std::string_view target);
// "HTTP/1.0 <reason>" and the server line, then the header block.
void writeStatus(ResponseWriter& w, std::string_view reason = "200 OK", std::string_view headerBlock = "\r\n");
// The 200 status with the writer's content type and, above 0, the length.
void writeOk(ResponseWriter& w, int64_t length);

}  // namespace qv
