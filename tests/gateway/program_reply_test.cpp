// What a program's output asks of the reply, as a table of outputs.
#include "engine/gateway/program_reply.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

struct ReplyCase {
    const char* what;
    std::string_view output;
    ProgramReply::Kind kind;
    const char* status;
    const char* contentType;
    std::size_t bodyOffset;
    std::vector<std::string> extras;
    const char* location;
};

TEST(ProgramReply, OutputsAndWhatTheyAskFor) {
    const ReplyCase cases[] = {
        {"type, blank line, body", "Content-type: text/html\r\n\r\n<p>hi", ProgramReply::kPage, "200 OK",
         " text/html", 27, {}, ""},
        {"a status keeps its blank", "Status: 404 Not Found\r\nContent-type: text/html\r\n\r\nx",
         ProgramReply::kPage, " 404 Not Found", " text/html", 50, {}, ""},
        {"line feeds alone", "Content-Type:text/plain\n\nbody", ProgramReply::kPage, "200 OK", "text/plain", 25, {}, ""},
        {"a complete response", "HTTP/1.0 302 Found\r\nLocation: /x\r\n\r\n", ProgramReply::kComplete, "200 OK",
         "", 0, {}, ""},
        {"complete, any case", "http/1.1 200 OK\r\n\r\n", ProgramReply::kComplete, "200 OK", "", 0, {}, ""},
        {"no known header: all body", "Hello there\r\n\r\nbody", ProgramReply::kPage, "200 OK", "", 0, {}, ""},
        {"one line without an end", "Content-type: text/html", ProgramReply::kPage, "200 OK", "", 0, {}, ""},
        {"last line without an end is body", "Content-type: text/html\r\n<b>x</b>", ProgramReply::kPage, "200 OK",
         " text/html", 25, {}, ""},
        {"URI in angle brackets", "URI: <http://example.org/>\r\n\r\n", ProgramReply::kRedirect, "200 OK", "", 0,
         {}, "http://example.org/"},
        {"Location", "Status: 302\r\nLocation: /next\r\n\r\n", ProgramReply::kRedirect, " 302", "", 0, {}, "/next"},
        {"other headers pass with a known one", "Set-Cookie: a=b\r\nContent-type: text/plain\r\nX-Y: 1\r\n\r\nz",
         ProgramReply::kPage, "200 OK", " text/plain", 53, {"Set-Cookie: a=b", "X-Y: 1"}, ""},
        {"other headers alone are body", "Set-Cookie: a=b\r\n\r\nbody", ProgramReply::kPage, "200 OK", "", 0, {}, ""},
        {"the reply's own headers are not passed",
         "Connection: keep-alive\r\nMIME-Version: 1.0\r\nnot a header\r\nContent-type: a/b\r\n\r\n",
         ProgramReply::kPage, "200 OK", " a/b", 78, {}, ""},
        {"blanks only end the header", "Content-type: a/b\r\n   \r\nrest", ProgramReply::kPage, "200 OK", " a/b", 24,
         {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ProgramReply reply = parseProgramReply(c.output);
        EXPECT_EQ(reply.kind, c.kind);
        if (c.kind == ProgramReply::kComplete) continue;
        EXPECT_EQ(reply.location, c.location);
        if (c.kind == ProgramReply::kRedirect) continue;
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.contentType, c.contentType);
        EXPECT_EQ(reply.bodyOffset, c.bodyOffset);
        EXPECT_EQ(reply.extraHeaders, c.extras);
    }
}

TEST(ProgramReply, LongValuesAreCutAndStatusCodesRead) {
    std::string longType(300, 't');
    ProgramReply reply = parseProgramReply("Content-type: " + longType + "\r\n\r\n");
    EXPECT_EQ(reply.contentType.size(), kReplyContentTypeLength);
    EXPECT_EQ(replyStatusCode(" 404 Not Found"), 404);
    EXPECT_EQ(replyStatusCode("500"), 500);
    EXPECT_EQ(replyStatusCode("OK"), 200);
    EXPECT_EQ(replyStatusCode("42 short"), 200);
}

}  // namespace
}  // namespace qv
