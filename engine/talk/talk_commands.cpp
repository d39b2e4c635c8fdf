#include "engine/talk/talk_commands.h"

#include "engine/log/strings.h"

namespace qv {

TalkLine parseTalkLine(std::string_view line) {
    if (line.empty()) return {};
    if (line[0] != ':') return {TalkCommand::kChat, std::string(line)};
    std::string_view rest = line.substr(1);
    if (startsWithNoCase(rest, "user="))
        return {TalkCommand::kName, std::string(rest.substr(5, kTalkNameLength))};
    if (startsWithNoCase(rest, "userimgsrc="))
        return {TalkCommand::kPicture, std::string(rest.substr(11, kTalkPictureLength))};
    if (line == ":quit") return {TalkCommand::kQuit, {}};
    if (line == ":who") return {TalkCommand::kWho, {}};
    return {};
}

void TalkLineSplitter::emit(std::vector<std::string>& lines) {
    if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
    if (!pending_.empty()) lines.push_back(std::move(pending_));
    pending_.clear();
}

void TalkLineSplitter::feed(std::string_view bytes, std::vector<std::string>& lines) {
    for (char ch : bytes) {
        if (ch == '\n') {
            emit(lines);
            continue;
        }
        pending_ += ch;
        if (pending_.size() == kTalkLineLength) emit(lines);
    }
}

std::string talkGreeting(int port, int openConnections) {
    return concat({"- Hello from the Quorvane Vellum Relay Server on port ", std::to_string(port),
                   "\r\n-Type  :quit  to quit.\r\n      :who   to see who is on.\r\n- There are ",
                   std::to_string(openConnections), " connections open.\r\n"});
}

std::string talkNewConnection(std::string_view peer) { return concat({"-n[New Connection]@", peer, "\r\n"}); }

std::string talkChat(std::string_view name, std::string_view peer, std::string_view text) {
    return concat({":", name, "@", peer, ":", text, "\r\n"});
}

std::string talkNewUser(std::string_view name, std::string_view peer) {
    return concat({"-a[New User]", name, "@", peer, "\r\n"});
}

std::string talkUser(std::string_view name, std::string_view host, std::string_view picture) {
    return concat({"-u ", name, "@", host, ", ", picture, "\r\n"});
}

std::string talkWho(int openConnections) {
    return concat({"-w There are ", std::to_string(openConnections), " open connections.\r\n"});
}

std::string talkLeaving(std::string_view name, std::string_view peer) {
    return concat({"-l [User Leaving]", name, "@", peer, "\r\n"});
}

}  // namespace qv
