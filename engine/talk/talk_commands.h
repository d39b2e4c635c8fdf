// The talk relay's line protocol, without sockets: what a client line asks
// for, and the lines the relay sends.
//
// A line that does not begin with ":" is chat.  ":user=NAME" sets the name
// (cut to 20 characters) and ":userimgsrc=URL" the picture (cut to 99); both
// prefixes match without regard to case.  ":who" and ":quit" match exactly.
// Any other ":" line is ignored.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv {

enum class TalkCommand { kIgnore, kChat, kName, kPicture, kWho, kQuit };

struct TalkLine {
    TalkCommand command = TalkCommand::kIgnore;
    std::string argument;  // the chat text, the new name or the picture
};

constexpr std::size_t kTalkNameLength = 20;
constexpr std::size_t kTalkHostLength = 40;
constexpr std::size_t kTalkPictureLength = 99;

TalkLine parseTalkLine(std::string_view line);

// The longest line the relay reads; a longer one arrives as several.
constexpr std::size_t kTalkLineLength = 250;

// Cuts what a client sends into lines: at each line feed, less one carriage
// return before it, and into pieces of kTalkLineLength characters (a piece
// that fills up loses a final carriage return).  Empty lines are dropped,
// so the line end that follows a full piece is not a line of its own.
class TalkLineSplitter {
public:
    // Adds received bytes; the lines they complete are appended to `lines`.
    void feed(std::string_view bytes, std::vector<std::string>& lines);

private:
    void emit(std::vector<std::string>& lines);
    std::string pending_;
};

std::string talkGreeting(int port, int openConnections);
std::string talkNewConnection(std::string_view peer);
std::string talkChat(std::string_view name, std::string_view peer, std::string_view text);
std::string talkNewUser(std::string_view name, std::string_view peer);
std::string talkUser(std::string_view name, std::string_view host, std::string_view picture);
std::string talkWho(int openConnections);
std::string talkLeaving(std::string_view name, std::string_view peer);
inline constexpr std::string_view kTalkImageOk = "-0 Image OK\r\n";

}  // namespace qv
