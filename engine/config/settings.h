// The engine's settings model: every key of [Options], [CGI] and
// [Registration] of "quorvane.ini", and the file-type, alias, user and group
// tables.  A `Settings` is built whole by readSettings and never changed
// afterwards; a reload builds a new one and publishes it (see SettingsHolder),
// so every connection thread reads a consistent snapshot without locks.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qv {

struct FileTypeEntry {
    std::string extension;  // up to 3 characters, case as written; "*" default, "|" no extension
    char gopherType = '0';
    std::optional<std::string> mimeType;
    std::optional<std::string> icon;
};

struct AliasEntry {
    std::string path;    // request-path prefix, URL-decoded
    std::string folder;  // local folder; may hold "$1"
    std::string owner = "Anybody";
    std::string access = "anywhere";
    std::optional<std::string> ftpOwner;
    std::optional<std::string> ftpGroup;
    std::string ftpRights = ".........";  // at most 15 characters
    bool programs = false;
    bool standardCgi = false;
    bool messages = false;
    bool listings = false;
};

struct FtpHome {
    std::string folder;  // FTPDir<N>, at most 259 characters
    int restrict = 0;    // FTPRestrict<N>: confined to the folder
    int write = 0;       // FTPDirWrite<N>: may write to the folder
};

struct UserEntry {
    std::string name;  // lower case
    std::string password;
    bool superUser = false;          // FTPSuperUser<N> starts with "1"
    std::optional<FtpHome> ftpHome;  // FTPDir<N> and its flags, when set
};

struct GroupEntry {
    std::string name;                  // first letter upper case, the rest lower case
    std::vector<std::string> members;  // lower case, at most 100
    std::optional<std::string> externalFile;
};

constexpr std::size_t kMaxFileTypes = 40;
constexpr std::size_t kMaxAliases = 200;
constexpr std::size_t kMaxUsers = 100;
constexpr std::size_t kMaxGroups = 10;
constexpr std::size_t kMaxGroupMembers = 100;

// Every number and text of [Options], [CGI] and [Registration] starts at
// its default from the one table in settings.cpp (which also bounds the
// numbers); reading a file replaces what it sets.
struct Settings {
    Settings();

    std::string iniPath;  // the file these settings came from

    // [Options]
    int buffsize, sound, minimize, hide;
    int view_connects, view_commands, view_files, view_closing;
    int debug1, debug3, debug_cgi, DNS_mode, DNS_use_cache;
    std::string hostname, ip, tempdir, logdir, gopherdir, ftpdir, webdir, security_realm;
    int webdirbrowsing, logany, logsearchstring;
    int countfilehits, addtofilehits, localfilehits, keep_alive;
    int ftp_read_timeout, gopher_read_timeout, http_read_timeout;
    int ask_before_quit, gopherport, httpport;
    int max_body_size;     // largest request body accepted, in bytes
    int max_connections;   // connections one engine serves at once
    int max_upload_mb;     // largest file a client may store, in MiB
    int max_message_size;  // largest mail message accepted, in bytes
    int page_exec;         // 0: pages may not run programs ("exec" directives)
    std::string scramble_passwords, scramble_version;
    // Read and kept; nothing acts on them.
    int maxretry, pollevery, throttle, greedy, debug2, DDE_mode;
    int socketver, countreferer, gopher_about_hide;
    std::string althomepage, reject_ip_filename, gopher_about_filename;

    // [Logging]: which log files are written and which fields the
    // extended log has.  error_file is read and kept; no error log is written.
    int extended, extended_server, extended_agent, extended_referer;
    int enable_files, access_file, referer_file, agent_file, error_file;

    // [CGI]
    std::string GMT_Offset, Debug_Mode, Perl_Compiler, Perl_Dir;
    int Timeout;

    // [Registration]
    std::string name, organization, email, logo;

    // [Extensions], [Aliases], [Users], [Groups]
    std::optional<std::string> folderIcon;
    std::vector<FileTypeEntry> fileTypes;
    std::vector<AliasEntry> aliases;
    std::vector<UserEntry> users;
    std::vector<GroupEntry> groups;

    // [Host Restrictions]: restriction names (and "<name>.redirect" keys)
    // with their values, in file order.
    std::vector<std::pair<std::string, std::string>> hostRestrictions;

    // False when the settings file could not be read: these are the
    // built-in defaults.
    bool fromFile = false;
};

// The value of a [Host Restrictions] key (compared without regard to case,
// the first one wins), or nothing.
std::optional<std::string_view> hostRestriction(const Settings& s, std::string_view key);

// The number setting `key` of `section` (names without regard to case), or
// nothing when no number setting has that name.
std::optional<int> numberSetting(const Settings& s, std::string_view section, std::string_view key);

// Sets the number setting `key` of `section` (names without regard to case)
// in `s`, within its bounds; false when no number setting has that name.
bool setNumberSetting(Settings& s, std::string_view section, std::string_view key, int value);

// The settings file of a settings folder: "<folder>/quorvane.ini".
std::string settingsFilePath(const std::string& settingsFolder);

// Reads the whole file (a missing file gives every default and empty
// tables), printing "Reading ini file...\r\n" first and a diagnostic for
// every refused line.
std::shared_ptr<const Settings> readSettings(const std::string& iniPath);

// The published snapshot.  Readers take a reference that stays valid for as
// long as they hold it, however many reloads happen meanwhile.
class SettingsHolder {
public:
    std::shared_ptr<const Settings> get() const;
    void publish(std::shared_ptr<const Settings> next);
    // Drops the current snapshot (printing "Freeing old INI information...");
    // readers that still hold it keep it until they let go.
    void release();

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const Settings> current_ = std::make_shared<const Settings>();
};

// Words of a settings line, split at runs of blanks and tabs.
std::vector<std::string> splitWords(std::string_view line);

// A folder setting with every backslash turned into "/".
std::string folderSetting(std::string text);

}  // namespace qv
