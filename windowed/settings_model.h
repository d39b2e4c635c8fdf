// The values the settings editor ("Quorvane Pro - Settings") shows and
// edits, read from the settings file and turned back into the writes that
// save them.  Plain records and free functions, no Qt: the sheet's pages
// (settings_sheet*.cpp) copy these into their controls and back.
//
// Saving: every changed page's keys go to the settings file in one batch
// (ProfileFile::writeBatch: one atomic replace under the file's write
// lock), then the reset event is signalled once, so no engine ever reloads
// between pages.  Numbered lists (users, file types, shared folders,
// servers) are written 1, 2, 3, ... without gaps, and the keys of every
// number after the last one are deleted up to the editor's limit; a shared
// folder's FTP owner, group and rights move with its row.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/platform/profile.h"

namespace qv {

// How many rows each list of the editor holds at most.
inline constexpr int kEditorUsers = 200;
inline constexpr int kEditorFileTypes = 101;
inline constexpr int kEditorFolders = 111;
inline constexpr int kEditorServers = 32;
inline constexpr int kEditorGroups = 50;

// The pages in tab order.
enum class SheetPage { kGeneral, kLogging, kHitCounts, kMisc, kUsers, kFileTypes, kSharedFolders, kCgi, kServers };
inline constexpr int kSheetPages = 9;
const char* pageTitle(SheetPage page);  // "General", "Logging", ... "Servers"

struct GeneralValues {
    std::string name, organization, email;  // [Registration], 80 characters each
    std::string hostname, ip;               // [Options]
};

struct LoggingValues {
    std::string logdir;
    bool extended = false, extendedServer = false, extendedReferer = false, extendedAgent = false;
    bool enableFiles = false, accessFile = false, refererFile = false, agentFile = false, errorFile = false;
};

struct HitCountValues {
    bool countFileHits = true, addToFileHits = true, localFileHits = true;
};

struct MiscValues {
    std::string tempdir, securityRealm;
    bool dnsMode = false, dnsUseCache = true;
    int httpReadTimeout = 60, gopherReadTimeout = 30, ftpReadTimeout = 600;
    bool askBeforeQuit = true, minimize = false, hide = false;
    int sendBufferSize = 8192;    // [Options] buffsize, the chunk size files are sent in
    bool startAtLogin = false;    // the XDG autostart entry of qvx_pro
};

struct CgiValues {
    std::string perlCompiler, perlDir, gmtOffset;
    bool debugMode = false;  // [CGI] Debug_Mode "Yes" / "No"
};

struct UserRow {
    std::string name;
    std::string password;  // as typed (unscrambled when read)
    // The file's text of a password this program cannot read (scrambled by
    // an unknown version; then also in `password`): written back as it was
    // while the password is not changed, so saving never garbles it.
    std::string unreadablePassword;
    std::string ftpDir;    // FTP home, empty for none
    bool ftpWrite = false, ftpRestrict = false, ftpSuperUser = false;
};

struct FileTypeRow {
    std::string extension;
    char gopherType = '9';
    std::string mimeType, icon;
};

struct FolderRow {
    std::string urlPath, folder;
    std::string owner = "Anybody", access = "Anywhere";
    bool cgi = false, messages = false, listings = false;
    bool standardCgi = false;  // read as "s": kept when cgi stays on
    // FTP owner and group ("" when the key is absent), rights as nine
    // letters ("........." for none).
    std::string ftpOwner, ftpGroup, ftpRights = ".........";
};

struct ServerRow {
    std::string type;  // "httpd", "gopher", "ftp", "talk", "mail", ... at most 7 characters
    std::string port, dir, logdir, host, ip, virtualAlias;
};

struct ServersValues {
    std::string webdir, ftpdir, gopherdir;
    int httpPort = 80, ftpPort = 21, gopherPort = 70;
    std::vector<ServerRow> servers;
};

struct GroupRow {
    std::string name;
    std::vector<std::string> members;
};

struct SheetValues {
    GeneralValues general;
    LoggingValues logging;
    HitCountValues hitCounts;
    MiscValues misc;
    std::vector<UserRow> users;
    std::vector<FileTypeRow> fileTypes;
    std::vector<FolderRow> folders;
    CgiValues cgi;
    ServersValues servers;
    std::vector<GroupRow> groups;
    std::vector<std::string> hostRestrictions;  // names, for the folders' access choice
    bool scramblePasswords = false;             // [Options] scramble_passwords begins with Y or y
    bool unknownScrambleVersion = false;        // scrambled with a version other than 1.5
};

// Reads every page from the settings file.  `autostartPath` is qvx_pro's
// XDG autostart entry (see autostartEntryPath).
SheetValues readSheet(const std::string& iniPath, const std::string& autostartPath);

// The writes that save one page (the start-at-login box is not in the
// settings file: see setStartAtLogin).
std::vector<ProfileWrite> pageWrites(SheetPage page, const SheetValues& values);

// Saves the changed pages in one batch.  0, or the errno of the failed
// write: nothing was written then, and the caller shows "Unable to update
// ini file..." and keeps the pages' changed flags.  Signalling the reset is
// the caller's, once, after success.
int saveSheet(const std::string& iniPath, const SheetValues& values, const std::vector<SheetPage>& changed);

// Writes the groups list ([Groups] group1 ...) at once, as the Groups
// dialog does; 0 or the errno.
int saveGroups(const std::string& iniPath, const std::vector<GroupRow>& groups);

// ~/.config/autostart/quorvane.desktop ($XDG_CONFIG_HOME honoured).
std::string autostartEntryPath();
// Creates (Exec: `program`) or removes the entry; 0 or the errno.  Nothing
// is written when it already matches.
int setStartAtLogin(const std::string& entryPath, const std::string& program, bool on);

// Why a password cannot be stored, or nothing: a blank in it (the user
// line is split at blanks), or, with scrambling on, more characters than
// the scrambler keeps (16).  An empty password is the caller's question.
std::optional<std::string> passwordProblem(std::string_view password, bool scrambling);

// A user name the editor accepts: 1 to 8 characters, none of them a blank,
// a control character or "=".
bool validUserName(std::string_view name);

}  // namespace qv
