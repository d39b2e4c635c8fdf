#include "engine/http/request_reader.h"

#include <array>

#include "engine/core/engine.h"
#include "engine/core/io.h"
#include "engine/core/socket_info.h"
#include "engine/log/strings.h"
#include "engine/output.h"

namespace qv {

namespace {

bool showsHeaders(Connection& c) {
    const Server* server = c.server();
    return server && server->engine.showRequestHeaders;
}

}  // namespace

HeadBudget headBudget(int timeoutSeconds) {
    return HeadBudget {steadyNow() + std::chrono::seconds(std::max(0, timeoutSeconds))};
}

int readRequestLine(Connection& c, HttpRequest& r, HeadBudget& budget) {
    bool cut = false;
    LineRead got = readLineBefore(c, r.requestLine, kRequestLineLength, budget.bytes, budget.deadline, cut);
    if (got == LineRead::kTimedOut) return -2;
    if (got != LineRead::kRead) return -1;
    return static_cast<int>(r.requestLine.size());
}

int readHeaders(Connection& c, HttpRequest& r, HeadBudget& budget, int keepAliveSetting) {
    std::string line;
    while (!r.endOfHeaders) {
        if (budget.lines-- == 0) return kHeadRefused;
        bool cut = false;
        if (readLineBefore(c, line, kRequestLineLength, budget.bytes, budget.deadline, cut) != LineRead::kRead)
            return kHeadRefused;
        if (showsHeaders(c)) debugPrint(concat({"['", std::string_view(line).substr(0, 256), "'\r\n"}));
        int rc = parseHeaderLine(r, line, keepAliveSetting);
        if (rc == kHeaderRefused) return kHeadRefused;
        if (!r.user.empty()) setSocketUser(c.socketInfo, r.user);
        if (rc == kHeaderDone) break;
    }
    return 0;
}

int readRequestBody(Connection& c, HttpRequest& r, int timeoutSeconds, int64_t maxBody) {
    if (!r.endOfHeaders || r.contentLength <= 0) return 0;
    if (r.contentLength > maxBody) {
        r.status = 500;
        return kBodyTooLarge;
    }
    const std::size_t length = static_cast<std::size_t>(r.contentLength);
    std::string body;
    std::array<char, 16384 + 1> piece;
    while (body.size() < length) {
        std::size_t want = std::min(length - body.size(), piece.size() - 1);
        int n = readSocket(c, std::span<char>(piece.data(), want + 1), false, timeoutSeconds);
        if (n <= 0) return kBodyIncomplete;
        body.append(piece.data(), static_cast<std::size_t>(n));
    }
    r.body = std::move(body);
    // Old browsers send CR LF after a POST body; anything else that is
    // waiting belongs to the next request.
    discardLineEnd(c);
    return 0;
}

}  // namespace qv
