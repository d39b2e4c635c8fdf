// The FTP command line and the pure rules of the server: the command table,
// the FTP path join, home confinement, PORT arguments, the passive reply
// and listing lines.  Text in, values out; no sockets, no files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/folder_entries.h"

namespace qv {

// Codes are the positions in the command table; kUnknown is a word the
// table does not hold.
enum class FtpCode {
    kUnknown = -1,
    kUser, kPass, kAcct, kCwd, kCdup, kSmnt, kQuit, kRein, kPort, kPasv, kType, kStru,
    kMode, kRetr, kStor, kStou, kAppe, kAllo, kRest, kRnfr, kRnto, kAbor, kDele, kRmd,
    kMkd, kPwd, kList, kNlst, kSite, kSyst, kStat, kHelp, kNoop, kSize,
};

// What the central dispatcher checks before a handler runs.
struct FtpCommandRow {
    std::string_view word;
    bool takesPath;       // the argument is resolved to a virtual and a physical path
    bool writes;          // the write check applies
    bool notImplemented;  // answered "502 %s command not implemented."
};

const FtpCommandRow& ftpCommandRow(FtpCode code);

struct FtpLine {
    std::string word;                     // as received
    std::optional<std::string> argument;  // the text after the first blank
    FtpCode code = FtpCode::kUnknown;
};

// The word up to the first blank, looked up without regard to case.
FtpLine parseFtpLine(std::string_view line);

// The line as the console and the debug output may show it: a PASS line's
// password never leaves the session.
std::string displayedLine(const FtpLine& parsed, std::string_view line);

// The FTP path join of the current virtual folder and an argument.
// Backslashes count as "/".  An argument that begins with one separator
// replaces the folder; ".." removes the folder's last component ("/" stays
// "/"); anything else is appended after one "/".  Runs of "/" collapse.
// "." and ".." inside a longer argument are left for the mapping to refuse.
std::string ftpJoinPath(std::string_view folder, std::string_view argument);

// A home folder setting as a virtual path: "/" separators, one leading
// "/", no trailing "/" (the root stays "/").
std::string homeFolderPath(std::string_view setting);

// True when `path` is `folder` or lies below it, compared by whole
// components and exactly (the file system tells case apart, so
// "/USERS/max" is another folder than "/users/max").
bool pathWithin(std::string_view path, std::string_view folder);

// True when `path` is a folder above `home`, other than "/".
bool pathAbove(std::string_view path, std::string_view home);

// Home confinement of a restricted user: a path inside home stays; a
// folder above home stays when `ancestorsAllowed` (CWD, CDUP, LIST); any
// other path is taken as relative to home.
std::string confineToHome(const std::string& path, std::string_view home, bool ancestorsAllowed);

// PORT h1,h2,h3,h4,p1,p2: exactly six decimal fields of 0 to 255.
struct PortTarget {
    uint32_t address = 0;  // network byte order
    int port = 0;
};
std::optional<PortTarget> parsePortArgument(std::string_view argument);

// "227 Entering Passive Mode (a,b,c,d,p1,p2)\r\n".
std::string passiveReply(uint32_t networkAddress, int port);

// One listing line, "-rw-r--r--   1 root     system <size> <date>  <name>\r\n",
// with "d" first for a folder.
std::string listingLine(const FolderEntry& entry);

// "total <n>\r\n" and a line per entry; empty for no entries.
std::string listingText(const std::vector<FolderEntry>& entries);

}  // namespace qv
