#include "engine/http/request_reader.h"

#include <array>

#include "engine/core/io.h"
#include "engine/core/socket_info.h"

namespace qv {

int readRequestLine(Connection& c, HttpRequest& r, int timeoutSeconds) {
    std::array<char, kRequestLineLength + 1> line;
    int n = readSocket(c, line, true, timeoutSeconds);
    r.requestLine.assign(line.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    return n;
}

void readHeaders(Connection& c, HttpRequest& r, int timeoutSeconds, int keepAliveSetting) {
    std::array<char, kRequestLineLength + 1> line;
    while (!r.endOfHeaders) {
        int n = readSocket(c, line, true, timeoutSeconds);
        if (n < 0) return;
        int rc = parseHeaderLine(r, std::string_view(line.data(), static_cast<std::size_t>(n)), keepAliveSetting);
        if (!r.user.empty()) setSocketUser(c.socketInfo, r.user);
        if (rc == kHeaderDone) return;
    }
}

int readRequestBody(Connection& c, HttpRequest& r, int timeoutSeconds, int64_t maxBody) {
    if (!r.endOfHeaders || r.contentLength <= 0) return 0;
    if (r.contentLength > maxBody) {
        r.status = 500;
        return kBodyTooLarge;
    }
    std::string body(static_cast<std::size_t>(r.contentLength), '\0');
    std::size_t got = 0;
    std::array<char, 16384 + 1> piece;
    while (got < body.size()) {
        std::size_t want = std::min(body.size() - got, piece.size() - 1);
        int n = readSocket(c, std::span<char>(piece.data(), want + 1), false, timeoutSeconds);
        if (n <= 0) return kBodyIncomplete;
        body.replace(got, static_cast<std::size_t>(n), piece.data(), static_cast<std::size_t>(n));
        got += static_cast<std::size_t>(n);
    }
    r.body = std::move(body);
    // Old browsers send CR LF after a POST body; anything else that is
    // waiting belongs to the next request.
    discardLineEnd(c);
    return 0;
}

}  // namespace qv
