// One FTP session: what it keeps between commands, and the handlers the
// central dispatcher (ftp_session.cpp) calls once the login gate, the path
// resolution and the write check have passed.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/config/settings.h"
#include "engine/core/connection.h"
#include "engine/ftp/ftp_commands.h"
#include "engine/ftp/ftp_data.h"

namespace qv {

struct FtpSession {
    FtpSession(Connection& connection, Server& srv) : c(connection), server(srv) {}

    Connection& c;
    Server& server;
    std::shared_ptr<const Settings> settings;  // the snapshot of the current command
    std::string user;                          // set by USER, at most 15 characters
    std::string password;                      // kept for the mapping's owner checks
    bool loggedIn = false;
    bool anonymous = false;
    std::string virtualDir = "/";
    std::string physicalDir;  // no final "/"
    std::string listingDir;   // what LIST shows
    std::optional<std::string> renameFrom;
    DataLink data;
};

// A command's path after resolution.
struct FtpTarget {
    std::string virtualPath;
    std::string physical;
    const AliasEntry* alias = nullptr;
};

// Queues a reply; the dispatcher flushes after every command.
void ftpReply(FtpSession& s, std::string_view text);

// Transfers (ftp_transfers.cpp).
void ftpPort(FtpSession& s, const FtpLine& line);
void ftpPasv(FtpSession& s);
void ftpList(FtpSession& s);
void ftpRetr(FtpSession& s, const FtpTarget& t);
void ftpStor(FtpSession& s, const FtpTarget& t);

// Changes to files and folders (ftp_file_commands.cpp).
void ftpRnfr(FtpSession& s, const FtpTarget& t);
void ftpRnto(FtpSession& s, const FtpTarget& t);
void ftpDele(FtpSession& s, const FtpTarget& t);
void ftpMkd(FtpSession& s, const FtpTarget& t);
void ftpRmd(FtpSession& s, const FtpTarget& t);

// Renames without replacing what is at `to`; false with errno set
// (EEXIST when `to` exists).
bool renameNoReplace(const std::string& from, const std::string& to);

}  // namespace qv
