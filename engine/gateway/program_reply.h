// Reading a gateway program's output: what its first lines ask of the reply.
//
// Wire contract (towards programs): output whose first line starts with
// "HTTP" is a complete response and goes out unchanged.  Otherwise the
// lines before the first blank one are a header when one of them is a
// "Status:" or a "Content-type:" line; "Location:" and "URI:" ask for a
// redirect.  Output without such a header is the body, whole.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// How much of the output the header is looked for in.
constexpr std::size_t kReplyHeadLength = 64 * 1024;
constexpr std::size_t kReplyStatusLength = 255;
constexpr std::size_t kReplyContentTypeLength = 127;

struct ProgramReply {
    enum Kind { kComplete, kRedirect, kPage };
    Kind kind = kPage;
    std::string status = "200 OK";  // keeps the blank after the colon: "HTTP/1.0  404 Not Found"
    std::string contentType;        // empty: none announced; keeps its leading blank too
    std::vector<std::string> extraHeaders;  // other header lines, as printed (no line end)
    std::string location;                   // where kRedirect sends the client
    bool headerSeen = false;
    std::size_t bodyOffset = 0;  // where the body starts in the output
};

// `head` is the start of the output, at most kReplyHeadLength bytes of it.
ProgramReply parseProgramReply(std::string_view head);

// The status code of a status text (" 404 Not Found": 404); 200 when it
// starts with no number.
int replyStatusCode(std::string_view status);

}  // namespace qv
