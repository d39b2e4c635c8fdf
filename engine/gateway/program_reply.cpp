#include "engine/gateway/program_reply.h"

#include "engine/log/strings.h"

namespace qv {

namespace {

struct HeaderLine {
    std::string_view name;
    std::string_view value;  // absent when empty
    std::string_view text;   // the line without its end
};

// The name is the first run of characters that are not delimiters; the
// value is what follows the delimiter that ended it, up to the line end,
// leading blanks kept.
HeaderLine splitHeaderLine(std::string_view line, std::string_view delimiters) {
    HeaderLine h;
    std::size_t lineEnd = line.find_first_of("\r\n");
    h.text = line.substr(0, lineEnd);
    std::size_t start = line.find_first_not_of(delimiters);
    if (start == std::string_view::npos) return h;
    std::size_t end = line.find_first_of(delimiters, start);
    h.name = line.substr(start, end - start);
    if (end == std::string_view::npos) return h;
    std::string_view rest = line.substr(end + 1);
    h.value = rest.substr(0, rest.find_first_of("\r\n"));
    return h;
}

std::string_view withoutLeadingBlanks(std::string_view text) {
    text.remove_prefix(std::min(text.size(), text.find_first_not_of(" \t")));
    return text;
}

std::string uriTarget(std::string_view value) {
    value = withoutLeadingBlanks(value);
    if (value.starts_with('<')) value.remove_prefix(1);
    if (value.size() >= 2 && value.ends_with('>')) value.remove_suffix(1);
    return std::string(value);
}

// A "Name: value" line, unless the reply makes that header itself or it
// would contradict the connection's end after the body.
bool passedOn(const HeaderLine& h) {
    std::string_view text = withoutLeadingBlanks(h.text);
    if (!text.starts_with(h.name) || text.substr(h.name.size()).find(':') != 0) return false;
    return !equalsNoCase(h.name, "Connection") && !equalsNoCase(h.name, "Keep-Alive") &&
           !equalsNoCase(h.name, "MIME-version");
}

// Examines one header line; true when the reply is decided by it (a
// redirect).
bool examine(const HeaderLine& h, ProgramReply& reply) {
    if (startsWithNoCase(h.name, "Location")) {
        reply.kind = ProgramReply::kRedirect;
        reply.location = std::string(withoutLeadingBlanks(h.value));
        return true;
    }
    if (startsWithNoCase(h.name, "URI")) {
        reply.kind = ProgramReply::kRedirect;
        reply.location = uriTarget(h.value);
        return true;
    }
    if (startsWithNoCase(h.name, "Status")) {
        if (!h.value.empty()) reply.status = std::string(h.value.substr(0, kReplyStatusLength));
        reply.headerSeen = true;
    } else if (startsWithNoCase(h.name, "Content-type")) {
        if (!h.value.empty()) reply.contentType = std::string(h.value.substr(0, kReplyContentTypeLength));
        reply.headerSeen = true;
    } else if (passedOn(h)) {
        reply.extraHeaders.emplace_back(h.text);
    }
    return false;
}

}  // namespace

ProgramReply parseProgramReply(std::string_view head) {
    ProgramReply reply;
    std::size_t at = 0;
    // Only a line with its line end is examined: a last line without one
    // is body, never header.
    for (bool first = true;; first = false) {
        std::size_t lf = head.find('\n', at);
        if (lf == std::string_view::npos) {
            reply.bodyOffset = at;
            break;
        }
        std::string_view line = head.substr(at, lf + 1 - at);
        at = lf + 1;
        HeaderLine h = splitHeaderLine(line, first ? std::string_view(" :\r\n") : std::string_view(" :\r\n\t"));
        if (first && startsWithNoCase(h.name, "HTTP")) {
            reply.kind = ProgramReply::kComplete;
            return reply;
        }
        if (h.name.empty()) {
            reply.bodyOffset = at;
            break;
        }
        if (examine(h, reply)) return reply;
    }
    if (!reply.headerSeen) {
        reply.bodyOffset = 0;
        reply.extraHeaders.clear();
    }
    return reply;
}

int replyStatusCode(std::string_view status) {
    status = withoutLeadingBlanks(status);
    int code = 0;
    std::size_t digits = 0;
    while (digits < status.size() && digits < 3 && status[digits] >= '0' && status[digits] <= '9')
        code = code * 10 + (status[digits++] - '0');
    return digits == 3 ? code : 200;
}

}  // namespace qv
