#include "engine/talk/talk_commands.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qv
