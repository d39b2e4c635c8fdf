// The SMTP command loop: greeting, HELO, MAIL FROM, RCPT TO, RSET, NOOP,
// QUIT (DATA is in smtp_message.cpp).  HELO is not required before MAIL;
// EHLO and every other command get "500 Command unrecognized", after which
// clients fall back to HELO.
#include <chrono>
#include <ctime>

#include "engine/core/engine.h"
#include "engine/core/io.h"
#include "engine/core/socket_info.h"
#include "engine/log/dates.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/runtime_dir.h"
#include "engine/quorvane.h"
#include "engine/smtp/mail_delivery.h"
#include "engine/smtp/mail_users.h"
#include "engine/smtp/smtp.h"
#include "engine/smtp/smtp_session.h"

namespace qv {

namespace {

constexpr std::size_t kLineLength = 1023;
// A command line longer than this (read and dropped) ends the session: no
// client sends one, and reading on would let a peer keep the thread busy.
constexpr std::size_t kLineBudget = 64 * 1024;

void reply(SmtpSession& s, std::string_view text) { sendString(s.c, text); }

// The text after the first ":", without leading blanks and without one
// pair of enclosing angle brackets.
std::string addressOf(std::string_view line) {
    std::string_view text = line.substr(line.find(':') + 1);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    if (text.size() >= 2 && text.front() == '<' && text.back() == '>') text = text.substr(1, text.size() - 2);
    return std::string(text.substr(0, kMaxAddressLength));
}

void helo(SmtpSession& s) {
    reply(s, concat({"250 ", s.server.hostName, " Hello  (", s.c.peerName(), "), pleased to meat you.\r\n"}));
}

void mailFrom(SmtpSession& s, std::string_view line) {
    if (!s.sender.empty()) return reply(s, "503 Sender already specified\r\n");
    s.sender = addressOf(line);
    if (s.sender.empty()) s.sender = "root";
    const std::string text = concat({"250 ", s.sender, "... Sender ok\r\n"});
    debugPrint(text);
    reply(s, text);
}

// A recipient outside the domains served here is refused: nothing here
// forwards mail, and a refusal lets the sending server tell its sender.
// One whose mail file cannot be written now is refused for the time being,
// so the sender keeps the message and tries again.
void rcptTo(SmtpSession& s, std::string_view line) {
    if (s.sender.empty()) return reply(s, "503 Sender not specified\r\n");
    if (s.recipients.size() >= kMaxRecipients) return reply(s, "552 Too many recipients\r\n");
    const std::string address = addressOf(line);
    if (address.empty()) return reply(s, "500 Error\r\n");
    MailUser user;
    switch (findMailUser(s.users, address, user)) {
        case kMailUserLocal:
            if (!mailFileWritable(user.mailFile)) {
                debugPrint(concat({"Mail file '", user.mailFile, "' cannot be written.\r\n"}));
                return reply(s, concat({"450 ", address, "... Mailbox unavailable, try again later\r\n"}));
            }
            s.recipients.push_back(address);
            return reply(s, concat({"250 ", address, "... Recipient ok\r\n"}));
        case kMailUserForeign: return reply(s, concat({"551 ", address, "... User not local\r\n"}));
        default: return reply(s, concat({"550 ", address, "...User unknown\r\n"}));
    }
}

bool begins(std::string_view line, std::string_view word) {
    return line.size() >= word.size() && equalsNoCase(line.substr(0, word.size()), word);
}

// Answers one command line; false when the session ends.
bool command(SmtpSession& s, std::string_view line) {
    s.settings = s.server.engine.settings.get();
    if (begins(line, "helo")) {
        helo(s);
    } else if (begins(line, "mail from:")) {
        mailFrom(s, line);
    } else if (begins(line, "rcpt to:")) {
        rcptTo(s, line);
    } else if (begins(line, "data")) {
        return smtpData(s);
    } else if (begins(line, "quit")) {
        reply(s, concat({"221 ", s.server.hostName, " closing connection\r\n"}));
        return false;
    } else if (begins(line, "noop")) {
        reply(s, "250 OK\r\n");
    } else if (begins(line, "rset")) {
        s.sender.clear();
        s.recipients.clear();
        reply(s, "250 OK\r\n");
    } else {
        reply(s, "500 Command unrecognized\r\n");
    }
    return true;
}

}  // namespace

void serveSmtp(Connection& c) {
    Server& server = *c.server();
    debugPrint("\r\nSMTP server connection\r\n");
    SmtpSession s(c, server, joinPath(server.engine.options.settingsFolder, std::string(kMailUsersFileName)));
    s.startText = ctimeText(std::time(nullptr));
    sendString(c, concat({"220 ", server.hostName, " SMTP Quorvane ", kVersionText, " ready at ", s.startText, "\r\n"}));
    setSocketUser(c.socketInfo, "Unknown");
    bool going = flushSend(c) == 0;
    std::string line;
    while (going) {
        setSocketActivity(c.socketInfo, "connected");
        const int timeout = server.engine.settings.get()->ftp_read_timeout;
        std::size_t budget = kLineBudget;
        bool cut = false;
        const auto deadline = steadyNow() + std::chrono::seconds(timeout);
        if (readLineBefore(c, line, kLineLength, budget, deadline, cut) != LineRead::kRead) break;
        debugPrint(concat({"SMTPin: [", line, "]\r\n"}));
        if (cut)
            reply(s, "500 Line too long\r\n");
        else
            going = command(s, line);
        if (flushSend(c) != 0) break;
    }
    closeConnection(c);
}

}  // namespace qv
