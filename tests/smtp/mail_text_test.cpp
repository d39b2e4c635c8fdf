// The DATA stream turned into mail-file text: the closing line, dot
// stuffing, "From " quoting, bare line feeds and lines of any length, fed
// whole or a byte at a time.
#include <gtest/gtest.h>

#include <string>

#include "engine/smtp/mail_text.h"

namespace qv {
namespace {

struct Parsed {
    std::string text;
    std::size_t used = 0;
    bool ended = false;
};

Parsed parseWhole(const std::string& data) {
    MailTextParser p;
    Parsed r;
    r.used = parseMailText(p, data, r.text);
    r.ended = p.ended;
    return r;
}

Parsed parseByteByByte(const std::string& data) {
    MailTextParser p;
    Parsed r;
    for (std::size_t i = 0; i < data.size() && !p.ended; ++i) r.used += parseMailText(p, data.substr(i, 1), r.text);
    r.ended = p.ended;
    return r;
}

TEST(MailText, LinesBecomeMailFileLines) {
    const std::string data =
        "Subject: x\r\n\r\n"
        "..x\r\n"         // stuffed: one dot removed
        ".\tnot the end\r\n"
        "From me\r\n"     // would open a new message in a mail file
        ".From you\r\n"   // unstuffed first, then quoted
        ">From quoted\r\n"
        "8-bit \xe9\xff\r\n"
        "quit\r\n"
        ".\r\nNEXT";
    const std::string expected =
        "Subject: x\n\n"
        ".x\n"
        "\tnot the end\n"
        ">From me\n"
        ">From you\n"
        ">From quoted\n"
        "8-bit \xe9\xff\n"
        "quit\n";
    for (const Parsed& r : {parseWhole(data), parseByteByByte(data)}) {
        EXPECT_TRUE(r.ended);
        EXPECT_EQ(r.text, expected);
        EXPECT_EQ(data.substr(r.used), "NEXT");  // the next command stays unread
    }
}

// Only CR LF "." CR LF ends a message: a "." reached or ended by a bare LF
// is text, so commands hidden in a message are never read as commands.
TEST(MailText, OnlyCrLfDotCrLfEndsTheMessage) {
    for (const std::string data : {"x\n.\nRSET\r\n", "x\r\n.\nRSET\r\n", "x\n.\r\nRSET\r\n", "x\r\n .\r\n"}) {
        const Parsed r = parseWhole(data);
        EXPECT_FALSE(r.ended) << data;
        EXPECT_EQ(r.used, data.size());
    }
    const Parsed smuggled = parseWhole("x\n.\nRSET\r\n.\r\n");
    EXPECT_TRUE(smuggled.ended);
    EXPECT_EQ(smuggled.text, "x\n.\nRSET\n");
    EXPECT_TRUE(parseWhole(".\r\n").ended);  // an empty message
    EXPECT_EQ(parseWhole(".\r\n").text, "");
}

TEST(MailText, LongLinesPassWholeAndKeepTheirStart) {
    const std::string longLine = "." + std::string(3 * kMailLineHold + 17, 'a') + "\r";
    const std::string data = "From " + longLine + "\n" + longLine + "\n.\r\n";
    const std::string body = longLine.substr(1, longLine.size() - 2);
    const std::string expected = ">From ." + body + "\n" + body + "\n";
    EXPECT_EQ(parseWhole(data).text, expected);
    MailTextParser p;
    std::string out;
    for (std::size_t i = 0; i < data.size(); i += 1000) parseMailText(p, data.substr(i, 1000), out);
    EXPECT_TRUE(p.ended);
    EXPECT_EQ(out, expected);
    EXPECT_LE(p.line.capacity(), 2 * kMailLineHold);
}

}  // namespace
}  // namespace qv
