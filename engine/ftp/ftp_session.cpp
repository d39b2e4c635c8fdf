// The FTP control connection: greeting, the command loop, the login gate,
// path resolution with home confinement, the write check, and the commands
// that need no data connection.
#include <cstdio>
#include <memory>
#include <sys/stat.h>

#include "engine/config/access.h"
#include "engine/config/path_mapping.h"
#include "engine/config/users.h"
#include "engine/core/engine.h"
#include "engine/core/io.h"
#include "engine/core/socket_info.h"
#include "engine/ftp/ftp.h"
#include "engine/ftp/ftp_session.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/clock.h"

namespace qv {

namespace {

constexpr std::size_t kLineLength = 299;
// A line longer than this (its tail read and dropped) ends the session: no
// client sends one, and reading on would let a peer keep the thread busy.
constexpr std::size_t kLineBudget = 4096;
constexpr std::size_t kMaxArgument = 259;
constexpr std::size_t kMaxUserName = 15;
constexpr std::size_t kMaxPassword = 63;
constexpr std::size_t kWelcomeLine = 511;

constexpr std::string_view kGreeting =
    "220 XXXHOSTX FTP server (Quorvane Version 1.0 DAY MON D HH:MM:SS CDT 199X) ready.\r\n";
constexpr std::string_view kNeedUser = "503 Login with USER first.\r\n";
constexpr std::string_view kNeedLogin = "530 Please login with USER and PASS.\r\n";
constexpr std::string_view kWelcomeFile = "qvheader.ftp";

constexpr std::string_view kHelpLines =
    "214- The following commands are recognized (* =>'s unimplemented).\r\n"
    "   USER    PORT    STOR    MSAM*   RNTO    NLST    MKD     CDUP\t\r\n"
    "   PASS    PASV    APPE    MRSQ*   ABOR    SITE    XMKD    XCUP\t\r\n"
    "   ACCT*   TYPE    MLFL*   MRCP*   DELE    SYST    RMD     STOU\t\r\n"
    "   SMNT*   STRU    MAIL*   ALLO    CWD     STAT    XRMD    SIZE\t\r\n"
    "   REIN    MODE    MSND*   REST    XCWD    HELP    PWD     MDTM\t\r\n"
    "   QUIT    RETR    MSOM*   RNFR    LIST    NOOP    XPWD\t\r\n";

bool isAnonymousName(std::string_view name) { return equalsNoCase(name, "anonymous"); }

std::string withoutFinalSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::optional<FtpHome> homeOf(const FtpSession& s) {
    if (s.user.empty() || s.anonymous) return std::nullopt;
    return getFtpHome(*s.settings, s.user);
}

int mapVirtual(FtpSession& s, std::string path, std::string& physical, const AliasEntry*& alias) {
    MappingContext context;
    context.root = s.server.docDir;
    context.ownAddress = s.server.listenAddress;
    context.client = s.c.peerAddress;
    if (!s.user.empty()) context.user = s.user;
    if (s.loggedIn) context.password = s.password;
    context.htmlTwin = false;
    return aliasToDosDir(*s.settings, path, physical, alias, context);
}

void sendWelcomeFile(FtpSession& s, std::string_view prefix) {
    const std::string path = s.physicalDir + "/" + std::string(kWelcomeFile);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return;
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "re"), &std::fclose);
    if (!file) {
        debugPrint("Error opening file '" + path + "'\r\n  " + systemErrorText());
        return;
    }
    char line[kWelcomeLine + 1];
    while (std::fgets(line, sizeof line, file.get())) {
        std::string_view text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
        // Every line goes out with CR LF, the last one too: a reply line
        // without its end would run into the next reply.
        if (sendString(s.c, concat({prefix, text, "\r\n"})) != 0) {
            debugPrint("Error sending\r\n");
            return;
        }
    }
}

void resetFolders(FtpSession& s) {
    s.virtualDir = "/";
    s.physicalDir = withoutFinalSlash(s.server.docDir);
    s.listingDir = s.physicalDir;
}

// Resolves the command's argument to a virtual and a physical path,
// answering and giving nothing when it cannot.
std::optional<FtpTarget> resolvePath(FtpSession& s, const FtpLine& line, std::string_view received) {
    std::string argument;
    if (line.code == FtpCode::kCdup) {
        argument = "..";
    } else if (!line.argument || line.argument->empty()) {
        if (line.code != FtpCode::kCwd) {
            ftpReply(s, concat({"500 ", received, ": Missing filename parameter.\r\n"}));
            return std::nullopt;
        }
        argument = "/";
    } else {
        argument = *line.argument;
    }
    if (argument.size() > kMaxArgument) {
        ftpReply(s, concat({"500 ", received, ": Filename parameter too long.\r\n"}));
        return std::nullopt;
    }
    FtpTarget t;
    t.virtualPath = ftpJoinPath(s.virtualDir, argument);
    bool insideHome = false;
    if (auto home = homeOf(s)) {
        std::string homePath = homeFolderPath(home->folder);
        if (home->restrict) {
            bool movesOnly = line.code == FtpCode::kCwd || line.code == FtpCode::kCdup;
            t.virtualPath = confineToHome(t.virtualPath, homePath, movesOnly);
        }
        insideHome = pathWithin(t.virtualPath, homePath);
    }
    int mapped = mapVirtual(s, t.virtualPath, t.physical, t.alias);
    bool ok = mapped == kMapped || (mapped == kMapLoginNeeded && insideHome);
    if (!ok || (s.anonymous && t.alias)) {
        ftpReply(s, concat({"500 ", received, ": Access error.\r\n"}));
        return std::nullopt;
    }
    setSocketActivity(s.c.socketInfo, t.virtualPath);
    return t;
}

bool mayWrite(FtpSession& s, const FtpTarget& t) {
    if (s.anonymous) {
        ftpReply(s, "550 Error anonymous users cannot do that.\r\n");
        return false;
    }
    auto home = homeOf(s);
    if (home && home->write && pathWithin(t.virtualPath, homeFolderPath(home->folder))) return true;
    if (t.alias && checkFtpRights(*s.settings, t.alias, 1, s.user)) return true;
    ftpReply(s, "550 Error current user does not have write access in this directory.\r\n");
    return false;
}

void userCommand(FtpSession& s, const FtpLine& line) {
    if (!line.argument || line.argument->empty() || line.argument->size() > kMaxUserName) {
        ftpReply(s, "500 'USER XXX': command not understood.\r\n");
        return;
    }
    s.user = *line.argument;
    s.password.clear();
    s.loggedIn = false;
    setSocketUser(s.c.socketInfo, s.user);
    if (isAnonymousName(s.user))
        ftpReply(s, "331 Guest login ok, send ident as password.\r\n");
    else
        ftpReply(s, concat({"331 password required for ", s.user, ".\r\n"}));
}

void passCommand(FtpSession& s, const FtpLine& line) {
    if (!line.argument || line.argument->empty()) {
        ftpReply(s, "550 PASS XXX: Password Error.\r\n");
        return;
    }
    if (s.loggedIn) {
        ftpReply(s, kNeedUser);
        return;
    }
    const bool anonymous = isAnonymousName(s.user);
    if (!anonymous && checkUserPassword(*s.settings, s.user, *line.argument) != 0) {
        ftpReply(s, "530 Login incorrect.\r\n");
        return;
    }
    s.anonymous = anonymous;
    s.password = line.argument->substr(0, kMaxPassword);
    s.loggedIn = true;
    if (auto home = homeOf(s)) {
        std::string homePath = homeFolderPath(home->folder);
        std::string physical;
        const AliasEntry* alias = nullptr;
        int mapped = mapVirtual(s, homePath, physical, alias);
        if (mapped == kMapped || mapped == kMapLoginNeeded) {
            s.virtualDir = homePath;
            s.physicalDir = withoutFinalSlash(physical);
            s.listingDir = s.physicalDir;
        }
    }
    sendWelcomeFile(s, "230-");
    ftpReply(s, "230 Guest login ok, access restrictions apply.\r\n");
}

void changeFolder(FtpSession& s, const FtpLine& line, const FtpTarget& t) {
    struct stat st {};
    if (stat(t.physical.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::string name = line.code == FtpCode::kCdup ? std::string("..") : line.argument.value_or("/");
        ftpReply(s, concat({"550 ", name, ": No such directory.\r\n"}));
        return;
    }
    s.physicalDir = withoutFinalSlash(t.physical);
    s.virtualDir = t.virtualPath;
    s.listingDir = s.physicalDir;
    sendWelcomeFile(s, "250-");
    ftpReply(s, "250 CWD command successful.\r\n");
    debugPrint(concat({"Current dir is now '", s.virtualDir, "'  '", s.physicalDir, "'\r\n"}));
}

void sizeCommand(FtpSession& s, const FtpTarget& t) {
    struct stat st {};
    if (stat(t.physical.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        ftpReply(s, "550 xxx: Size <= 0.\r\n");
        return;
    }
    ftpReply(s, "213 " + std::to_string(static_cast<uint64_t>(st.st_size)) + "\r\n");
}

void helpCommand(FtpSession& s) {
    ftpReply(s, kHelpLines);
    const std::string& mailbox = s.settings->email.empty() ? std::string("postmaster") : s.settings->email;
    ftpReply(s, concat({"214 Direct comments to ", mailbox, ". \r\n"}));
}

void reinCommand(FtpSession& s) {
    s.user.clear();
    s.password.clear();
    s.loggedIn = false;
    s.renameFrom.reset();
    resetFolders(s);
    setSocketUser(s.c.socketInfo, "Unknown");
    ftpReply(s, "220 Service ready for new user.\r\n");
}

void carryOut(FtpSession& s, const FtpLine& line, std::string_view received, const std::optional<FtpTarget>& t) {
    switch (line.code) {
        case FtpCode::kUser: return userCommand(s, line);
        case FtpCode::kPass: return passCommand(s, line);
        case FtpCode::kCwd:
        case FtpCode::kCdup: return changeFolder(s, line, *t);
        case FtpCode::kRein: return reinCommand(s);
        case FtpCode::kPort: return ftpPort(s, line);
        case FtpCode::kPasv: return ftpPasv(s);
        case FtpCode::kType: return ftpReply(s, "200 Type set to ?XXX.\r\n");
        case FtpCode::kRetr: return ftpRetr(s, *t);
        case FtpCode::kStor: return ftpStor(s, *t);
        case FtpCode::kList: return ftpList(s);
        case FtpCode::kRnfr: return ftpRnfr(s, *t);
        case FtpCode::kRnto: return ftpRnto(s, *t);
        case FtpCode::kDele: return ftpDele(s, *t);
        case FtpCode::kRmd: return ftpRmd(s, *t);
        case FtpCode::kMkd: return ftpMkd(s, *t);
        case FtpCode::kPwd: return ftpReply(s, concat({"257 \"", s.virtualDir, "\" is current directory.\r\n"}));
        case FtpCode::kHelp: return helpCommand(s);
        case FtpCode::kNoop: return ftpReply(s, "200 NOOP command successful.\r\n");
        case FtpCode::kSize: return sizeCommand(s, *t);
        default: return ftpReply(s, concat({"500 '", received, "': command not understood.\r\n"}));
    }
}

// The central dispatcher: false when the session ends.
bool handleLine(FtpSession& s, const std::string& received) {
    s.settings = s.server.engine.settings.get();
    FtpLine line = parseFtpLine(received);
    if (s.server.engine.showFtpCommands) debugPrint(concat({"FTPin: [", displayedLine(line, received), "]\r\n"}));
    if (line.code == FtpCode::kQuit) {
        ftpReply(s, "221 Goodbye.\r\n");
        return false;
    }
    if (line.code != FtpCode::kUser) {
        std::string_view gate;
        if (s.user.empty())
            gate = kNeedUser;
        else if (!s.loggedIn && line.code != FtpCode::kPass)
            gate = kNeedLogin;
        if (!gate.empty()) {
            ftpReply(s, gate);
            debugPrint(gate);
            return true;
        }
    }
    const FtpCommandRow& row = ftpCommandRow(line.code);
    std::optional<FtpTarget> target;
    if (row.takesPath && !(target = resolvePath(s, line, received))) {
        debugPrint(concat({"FTP path refused: ", displayedLine(line, received), "\r\n"}));
        return true;
    }
    if (row.writes && !mayWrite(s, *target)) return true;
    debugPrint(concat({"'", displayedLine(line, received), "'\r\n"}));
    if (row.notImplemented) {
        ftpReply(s, concat({"502 ", line.word, " command not implemented.\r\n"}));
        return true;
    }
    carryOut(s, line, received, target);
    return true;
}

}  // namespace

void ftpReply(FtpSession& s, std::string_view text) { sendString(s.c, text); }

void serveFtp(Connection& c) {
    Server& server = *c.server();
    debugPrint("\r\nFTP server connection\r\n");
    FtpSession s(c, server);
    resetFolders(s);
    setSocketUser(c.socketInfo, "Unknown");
    sendString(c, kGreeting);
    bool going = flushSend(c) == 0;
    std::string received;
    while (going) {
        setSocketActivity(c.socketInfo, "connected");
        const int timeout = server.engine.settings.get()->ftp_read_timeout;
        std::size_t budget = kLineBudget;
        bool cut = false;
        auto deadline = steadyNow() + std::chrono::seconds(timeout);
        if (readLineBefore(c, received, kLineLength, budget, deadline, cut) != LineRead::kRead) break;
        going = handleLine(s, received);
        if (flushSend(c) != 0) break;
    }
    s.data.clear();
    closeConnection(c);
}

}  // namespace qv
