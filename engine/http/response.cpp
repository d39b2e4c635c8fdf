#include "engine/http/response.h"

#include "engine/core/io.h"
#include "engine/http/template.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/quorvane.h"

namespace qv {

namespace {

struct ErrorPage {
    int code;
    int status;
    const char* reason;
    const char* body;
};

constexpr const char* kReturnTo = "$referer?[\r\n<p>Return to <a href=$referer>$referer</a>]\r\n";

// The bodies are templates expanded with the request's page variables.
const ErrorPage kErrorPages[] = {
    {401, 401, "Unauthorized", "<h2>UNAUTHORIZED</h2>A username and password are required for this folder ($script_name).\r\n"},
    {403, 403, "Forbidden", "<h2>NOT ALLOWED</h2>Directory browsing is not allowed in this folder ($script_name).\r\n"},
    {404, 404, "NOT FOUND", "<h2>FILE NOT FOUND</h2>The requested object ($script_name) was not found."},
    {500, 500, "Internal Server Error",
     "<h2>INTERNAL SERVER ERROR</h2>Could not access the requested object ($script_name).  Try again later.  "},
    {kForbiddenByLocation, 403, "Forbidden",
     "<h2>NOT ALLOWED</h2>The requested object ($script_name) is restricted and cannot be accessed from your current "
     "location.\r\n"},
    {kForbiddenObject, 403, "Forbidden", "<h2>NOT ALLOWED</h2>The requested object ($script_name) is restricted.\r\n"},
};

std::string serverLine() { return concat({"Server: Quorvane/", kVersionText, "\r\n"}); }

}  // namespace

ResponseWriter connectionWriter(Connection& c, const Settings& s) {
    ResponseWriter w;
    w.write = [&c](std::string_view bytes) { sendBytes(c, bytes); };
    w.debug1 = s.debug1;
    return w;
}

std::string okHeader(HttpRequest& r, int64_t length) { return responseHeader(r, "200 OK", length); }

std::string responseHeader(HttpRequest& r, std::string_view status, int64_t length) {
    std::string h = concat({"HTTP/1.0 ", status, "\r\n", serverLine(), "MIME-version: 1.0\r\nContent-Type: ",
                            r.responseContentType ? std::string_view(*r.responseContentType) : "text/html", "\r\n"});
    if (length > 0) {
        if (r.keepAliveRequested) {
            h += "Connection: Keep-Alive\r\n";
            r.keepAliveGranted = true;
        }
        h += "content-length: " + std::to_string(length) + "\r\n";
    }
    return h + "\r\n";
}

void sendOkHeader(Connection& c, HttpRequest& r, int64_t length) { sendString(c, okHeader(r, length)); }

void sendErrorPage(Connection& c, HttpRequest& r) {
    const int code = r.status;
    if (r.status > 1000) r.status %= 1000;
    const ErrorPage* page = nullptr;
    for (const auto& p : kErrorPages)
        if (p.code == code) page = &p;
    std::string extra;
    if (code == 401) extra = concat({"WWW-Authenticate: Basic realm=\"", r.settings->security_realm, "\"\r\n"});
    std::string body;
    if (page) {
        VarList vars;
        addPageVariables(vars, c, r);
        body = expandTemplate(vars, std::string(page->body) + kReturnTo);
    }
    sendString(c, concat({"HTTP/1.0 ", std::to_string(code % 1000), " ", page ? page->reason : "", "\r\n",
                          serverLine(), "MIME-version: 1.0\r\n", extra, "Content-Type: text/html\r\n\r\n"}));
    if (!headOnly(r)) sendString(c, body);
    flushSend(c);
}

void sendError(Connection& c, HttpRequest& r, int code) {
    r.status = code;
    sendErrorPage(c, r);
}

void writeRedirect(ResponseWriter& w, std::string_view target) {
    if (w.debug1) debugPrint(concat({"Redirecting to [", target, "]\r\n"}));
    const std::string location = headerValue(target);
    w.write(concat({"HTTP/1.0 302 Found\r\n", serverLine(), "Location: ", location,
                    "\r\nContent-type: text/html\r\n\r\n"}));
    if (w.headOnly) return;
    const std::string shown = htmlEscape(location);
    w.write(concat({"\r\nThis document is located at <A HREF=\"", shown, "\">", shown, "</A>\r\n"}));
}

void sendRedirect(Connection& c, const Settings& s, std::string_view target, bool headOnly) {
    ResponseWriter w = connectionWriter(c, s);
    w.headOnly = headOnly;
    writeRedirect(w, target);
}

void writeStatus(ResponseWriter& w, std::string_view reason, std::string_view headerBlock) {
    w.write(concat({"HTTP/1.0 ", reason, "\r\n", serverLine()}));
    w.write(headerBlock);
}

void writeOk(ResponseWriter& w, int64_t length) {
    std::string block = concat({"Content-Type: ", w.contentType ? std::string_view(*w.contentType) : "text/html", "\r\n"});
    if (length > 0) block += "content-length: " + std::to_string(length) + "\r\n";
    writeStatus(w, "200 OK", block + "\r\n");
}

}  // namespace qv
