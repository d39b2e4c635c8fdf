// One SMTP session: what its commands share.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/config/settings.h"
#include "engine/core/connection.h"
#include "engine/platform/profile.h"

namespace qv {

inline constexpr std::size_t kMaxRecipients = 100;
inline constexpr std::size_t kMaxAddressLength = 255;

struct SmtpSession {
    SmtpSession(Connection& conn, Server& srv, std::string usersPath)
        : c(conn), server(srv), users(std::move(usersPath)) {}

    Connection& c;
    Server& server;
    std::shared_ptr<const Settings> settings;  // the snapshot of the current command
    ProfileFile users;                         // the mail-user file
    std::string startText;                     // the session's start as ctimeText
    std::string sender;                        // empty until MAIL FROM
    std::vector<std::string> recipients;       // accepted RCPT TO addresses, in order
};

// Carries out DATA: spools the message, delivers it and answers.  False
// when the client went away or fell silent in the middle.
bool smtpData(SmtpSession& s);

}  // namespace qv
