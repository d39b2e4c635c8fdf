// One HTTP request as the connection thread reads it: the request line and
// its parts, the headers the server uses, Basic credentials and the body.
// The record is reused for every request of a keep-alive connection.
//
// Wire contract: HTTP/1.0 with the keep-alive extension.  A request line
// whose protocol field does not begin with "HTTP" is a simple request: no
// headers and no body follow.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/config/path_mapping.h"
#include "engine/config/settings.h"
#include "engine/http/var_list.h"

namespace qv {

constexpr std::size_t kRequestLineLength = 1024;
constexpr std::size_t kUserAgentLength = 255;
constexpr std::size_t kRefererLength = 62;
constexpr std::size_t kContentTypeLength = 62;  // a longer Content-type is dropped, not cut
constexpr std::size_t kUserNameLength = 15;
constexpr std::size_t kPasswordLength = 255;  // compared whole: stored passwords may be long

// parseHeaderLine: go on reading headers, or the blank line ended them and
// no body is announced.
constexpr int kHeaderGoOn = 1;
constexpr int kHeaderDone = 123;
// The request is not to be served: a folded continuation line, a
// Transfer-Encoding, a malformed Content-Length or two that differ.
constexpr int kHeaderRefused = -1;

struct HttpRequest {
    std::time_t startTime = 0;
    std::string requestLine;  // at most 1,024 characters
    std::string method;
    std::string urlPath;
    std::optional<std::string> pathInfo;
    std::optional<std::string> query;
    std::string protocol;
    std::string virtualAlias;
    int keepAliveRequested = 0;  // the keep_alive setting when the client asked for it
    bool keepAliveGranted = false;
    std::optional<std::string> responseContentType;  // none: text/html
    VarList acceptList;
    VarList headers;
    std::string lastModified = "???";
    std::string lastModifiedGmt = "???";
    std::string filePath;
    FileStamp fileStamp;  // the mapping's look at filePath; size 0 when none
    int status = 200;
    bool lineRead = false;      // a request line arrived: the request is logged
    uint64_t sentBefore = 0;    // the connection's bytesSent when it began
    std::string hitCount = "0";  // shown by "hit_count"
    std::string hitStartDate;    // shown by "hit_start_date"
    // What the hit counter read for filePath (see hit_counts.h).
    struct Counter {
        bool read = false;     // hitCount holds what was read
        int32_t count = 0;
        bool local = false;    // the folder's access.qac has an entry
        bool central = false;  // counts.qvx has an entry
        std::string fileKey;
        std::string accessFile;
    } counter;
    const AliasEntry* alias = nullptr;  // points into `settings`
    bool endOfHeaders = false;
    bool fullRequest = false;
    int64_t contentLength = 0;
    bool contentLengthGiven = false;
    std::optional<std::string> body;
    std::string contentType;
    std::string userAgent;
    std::string referer;
    std::string user;
    std::string password;
    // The settings this request is served under: aliases and tables it
    // points into stay valid however many reloads happen meanwhile.
    std::shared_ptr<const Settings> settings;
};

// A HEAD request: the response's status line and headers, without a body.
inline bool headOnly(const HttpRequest& r) { return r.method == "HEAD"; }

// Empties everything that belongs to one request (between keep-alive
// requests); the work-file names and the settings stay.
void resetRequest(HttpRequest& r);

// Method, URL and protocol from the request line: the first space ends the
// method, the next the URL; the protocol is the rest, spaces included.
void splitRequestLine(std::string_view line, std::string& method, std::string& url, std::string& protocol);

// The URL path, path info and query of a URL: the first "?" starts the
// query, and within the rest the first "/" after any "." starts the path
// info ("/cgi-bin/run.exe/a/b?x=1": "/cgi-bin/run.exe", "a/b", "x=1").
void splitUrl(std::string_view url, std::string& path, std::optional<std::string>& pathInfo,
              std::optional<std::string>& query);

// Parses one header line into the request; kHeaderDone when it was the
// blank line and no body is announced, kHeaderRefused when the request must
// not be served.  `keepAliveSetting` is what a
// "connection: keep-alive" header turns keepAliveRequested into.
int parseHeaderLine(HttpRequest& r, std::string_view line, int keepAliveSetting);

// The key a request is counted under: the URL path, with the server's
// virtual alias in front when no alias matched; "EMPTY" for a request with
// a method and no path, "/" for none; no final "/" on keys longer than one.
std::string counterKey(const HttpRequest& r);

// User and password from an Authorization value of the Basic scheme, the
// user cut to 15 characters, the password to 255; other schemes leave both
// empty.
void parseBasicCredentials(std::string_view value, std::string& user, std::string& password);

}  // namespace qv
