#include "engine/talk/talk_commands.h"

#include <gtest/gtest.h>

#include <vector>

namespace qv {
namespace {

TEST(TalkLines, CommandsAndTheirArguments) {
    struct Case {
        std::string line;
        TalkCommand command;
        std::string argument;
    } cases[] = {
        {"hello there", TalkCommand::kChat, "hello there"},
        {":user=ann", TalkCommand::kName, "ann"},
        {":USER=Bob", TalkCommand::kName, "Bob"},
        {":user=abcdefghijklmnopqrstuvwxyz0123", TalkCommand::kName, "abcdefghijklmnopqrst"},
        {":userimgsrc=http://x/p.gif", TalkCommand::kPicture, "http://x/p.gif"},
        {":UserImgSrc=" + std::string(120, 'p'), TalkCommand::kPicture, std::string(99, 'p')},
        {":who", TalkCommand::kWho, ""},
        {":quit", TalkCommand::kQuit, ""},
        {":Quit", TalkCommand::kIgnore, ""},
        {":who ", TalkCommand::kIgnore, ""},
        {":whatever", TalkCommand::kIgnore, ""},
        {"", TalkCommand::kIgnore, ""},
    };
    for (const auto& c : cases) {
        TalkLine parsed = parseTalkLine(c.line);
        EXPECT_EQ(parsed.command, c.command) << c.line;
        EXPECT_EQ(parsed.argument, c.argument) << c.line;
    }
}

TEST(TalkLines, RepliesAreByteExact) {
    EXPECT_EQ(talkGreeting(8000, 3),
              "- Hello from the Quorvane Vellum Relay Server on port 8000\r\n-Type  :quit  to quit.\r\n"
              "      :who   to see who is on.\r\n- There are 3 connections open.\r\n");
    EXPECT_EQ(talkChat("ann", "127.0.0.1", "hi"), ":ann@127.0.0.1:hi\r\n");
    EXPECT_EQ(talkUser("ann", "host", ""), "-u ann@host, \r\n");
    EXPECT_EQ(talkLeaving("ann", "h"), "-l [User Leaving]ann@h\r\n");
}

// Lines as the relay cuts them from what arrives, whether the bytes come at
// once or one by one.
TEST(TalkLines, SplitAtLineEndsAndIntoPiecesWithoutBogusLines) {
    const std::string x250(250, 'x'), x249(249, 'x');
    struct Case {
        std::string sent;
        std::vector<std::string> lines;
    } cases[] = {
        {"hi\r\nthere\n", {"hi", "there"}},
        {x250 + "\n", {x250}},          // the line end after a full piece is no line
        {x249 + "\r\n", {x249}},       // the piece's final carriage return goes too
        {x250 + "yz\r\n", {x250, "yz"}},
        {std::string(600, 'x') + "\n", {x250, x250, std::string(100, 'x')}},
        {"\n\r\n \r\n", {" "}},       // bare line ends are no lines
        {"a\rb\r\n", {"a\rb"}},
        {"unfinished", {}},
    };
    for (const auto& c : cases) {
        for (bool byteByByte : {false, true}) {
            TalkLineSplitter splitter;
            std::vector<std::string> lines;
            if (byteByByte)
                for (char ch : c.sent) splitter.feed(std::string_view(&ch, 1), lines);
            else
                splitter.feed(c.sent, lines);
            EXPECT_EQ(lines, c.lines) << c.sent.size() << " bytes, byte by byte: " << byteByByte;
        }
    }
}

}  // namespace
}  // namespace qv
