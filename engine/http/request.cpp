#include "engine/http/request.h"

#include <cstdlib>

#include "engine/log/strings.h"

namespace qv {

namespace {

// Leading digits of a header value as a number, saturating instead of
// overflowing; 0 when there are none.
// The length a Content-Length value gives: decimal digits, blanks around
// them allowed; -1 for anything else ("39abc", "", "-1", "1 2").  A
// length too large to hold saturates.
int64_t contentLengthValue(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.empty()) return -1;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value > (INT64_MAX - 9) / 10 ? INT64_MAX : value * 10 + (c - '0');
    }
    return value;
}

// Each comma-separated item: the media type up to the first blank, CR or
// LF, and the rest of the item as its parameters ("Yes" when none).
void addAcceptItems(VarList& list, std::string_view value) {
    while (!value.empty()) {
        std::size_t comma = value.find(',');
        std::string_view item = value.substr(0, comma);
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        if (item.empty()) continue;
        std::size_t cut = item.find_first_of(" \r\n");
        std::string_view type = item.substr(0, cut);
        std::string_view params = cut == std::string_view::npos ? std::string_view() : item.substr(cut + 1);
        params = params.substr(0, params.find_first_of("\r\n"));
        list.add(type, params.empty() ? "Yes" : params);
    }
}

}  // namespace

void resetRequest(HttpRequest& r) {
    // A fresh record, so a field added later cannot be forgotten here; the
    // connection's own parts carry over.
    HttpRequest fresh;
    fresh.startTime = r.startTime;
    fresh.virtualAlias = std::move(r.virtualAlias);
    fresh.settings = std::move(r.settings);
    fresh.status = 0;
    r = std::move(fresh);
}

std::string counterKey(const HttpRequest& r) {
    std::string key;
    if (r.urlPath.empty()) {
        key = r.method.empty() ? "/" : "EMPTY";
    } else if (!r.alias && !r.virtualAlias.empty()) {
        key = r.virtualAlias + (r.urlPath.front() == '/' ? "" : "/") + r.urlPath;
    } else {
        key = r.urlPath;
    }
    if (key.size() > 1 && key.back() == '/') key.pop_back();
    return key;
}

void splitRequestLine(std::string_view line, std::string& method, std::string& url, std::string& protocol) {
    std::size_t first = line.find(' ');
    method = line.substr(0, first);
    if (first == std::string_view::npos) {
        url.clear();
        protocol.clear();
        return;
    }
    std::string_view rest = line.substr(first + 1);
    std::size_t second = rest.find(' ');
    url = rest.substr(0, second);
    protocol = second == std::string_view::npos ? std::string_view() : rest.substr(second + 1);
}

void splitUrl(std::string_view url, std::string& path, std::optional<std::string>& pathInfo,
              std::optional<std::string>& query) {
    std::size_t mark = url.find('?');
    query.reset();
    if (mark != std::string_view::npos) {
        query = std::string(url.substr(mark + 1));
        url = url.substr(0, mark);
    }
    pathInfo.reset();
    std::size_t dot = url.find('.');
    std::size_t slash = dot == std::string_view::npos ? std::string_view::npos : url.find('/', dot);
    if (slash != std::string_view::npos) {
        pathInfo = std::string(url.substr(slash + 1));
        url = url.substr(0, slash);
    }
    path = url;
}

void parseBasicCredentials(std::string_view value, std::string& user, std::string& password) {
    user.clear();
    password.clear();
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    std::size_t space = value.find(' ');
    if (space == std::string_view::npos || !startsWithNoCase(value, "Basic")) return;
    std::string_view word = value.substr(space + 1);
    while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
    word = word.substr(0, word.find(' '));
    if (word.empty()) return;
    std::string decoded = base64Decode(word);
    decoded = decoded.substr(0, std::min<std::size_t>(255, decoded.find('\0')));
    // The user is the first run of characters other than ":", the password
    // the next one: empty fields are skipped, and a password cannot hold ":".
    std::string_view text = decoded;
    std::string* fields[] = {&user, &password};
    for (std::string* field : fields) {
        std::size_t start = text.find_first_not_of(':');
        if (start == std::string_view::npos) return;
        text.remove_prefix(start);
        std::size_t end = text.find(':');
        *field = std::string(text.substr(0, std::min(end, field == &user ? kUserNameLength : kPasswordLength)));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end);
    }
}

int parseHeaderLine(HttpRequest& r, std::string_view line, int keepAliveSetting) {
    if (line.empty()) {
        r.endOfHeaders = true;
        return r.contentLength <= 0 ? kHeaderDone : kHeaderGoOn;
    }
    // A folded continuation would be read as a header of its own by us and
    // as part of the previous one by a proxy in front: refused.
    if (line.front() == ' ' || line.front() == '\t') return kHeaderRefused;
    std::size_t start = line.find_first_not_of(" :");
    if (start == std::string_view::npos) return kHeaderGoOn;
    std::size_t end = line.find_first_of(" :", start);
    std::string_view name = line.substr(start, end - start);
    std::string_view value = end == std::string_view::npos ? std::string_view() : line.substr(end + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);

    if (equalsNoCase(name, "User-Agent")) {
        r.userAgent = value.substr(0, kUserAgentLength);
    } else if (equalsNoCase(name, "Content-length")) {
        // Where the body ends must be beyond doubt, or the next request
        // could be hidden in it (or a body taken for the next request).
        int64_t length = contentLengthValue(value);
        if (length < 0 || (r.contentLengthGiven && length != r.contentLength)) return kHeaderRefused;
        r.contentLength = length;
        r.contentLengthGiven = true;
    } else if (equalsNoCase(name, "Transfer-Encoding")) {
        return kHeaderRefused;  // chunked bodies are not read: the body's end would be unknown
    } else if (equalsNoCase(name, "Referer")) {
        if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        r.referer = value.substr(0, kRefererLength);
    } else if (equalsNoCase(name, "Content-type")) {
        if (value.size() <= kContentTypeLength) r.contentType = value;
    } else if (equalsNoCase(name, "connection")) {
        if (equalsNoCase(value, "keep-alive")) r.keepAliveRequested = keepAliveSetting;
        r.headers.add(name, value);
    } else if (equalsNoCase(name, "Accept")) {
        addAcceptItems(r.acceptList, value);
    } else if (equalsNoCase(name, "Authorization")) {
        parseBasicCredentials(value, r.user, r.password);
    } else if (!name.empty() && !value.empty()) {
        r.headers.add(name, value);
    }
    return kHeaderGoOn;
}

}  // namespace qv
