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

struct UserEntry {
    std::string name;  // lower case
    std::string password;
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

struct Settings {
    std::string iniPath;  // the file these settings came from

    // [Options]
    int buffsize = 8192, sound = 0, minimize = 0, hide = 0;
    int view_connects = 0, view_commands = 1, view_files = 0, view_closing = 0;
    int debug1 = 0, debug3 = 0, debug_cgi = 0, DNS_mode = 0, DNS_use_cache = 1;
    std::string hostname, ip, tempdir, logdir, gopherdir, ftpdir, webdir, security_realm;
    int webdirbrowsing = 0, logany = 1, logsearchstring = 0;
    int countfilehits = 1, addtofilehits = 1, localfilehits = 1, keep_alive = 0;
    int ftp_read_timeout = 600, gopher_read_timeout = 30, http_read_timeout = 60;
    int ask_before_quit = 1, gopherport = 70, httpport = 80;
    int max_body_size = 1048576;  // largest request body accepted, in bytes
    std::string scramble_passwords, scramble_version;
    // Read and kept; nothing acts on them.
    int maxretry = 1000, pollevery = 200, throttle = 4, greedy = 0, debug2 = 0, DDE_mode = 1;
    int socketver = 0, countreferer = 1, gopher_about_hide = 0;
    std::string althomepage, reject_ip_filename, gopher_about_filename;

    // [CGI]
    std::string GMT_Offset, Debug_Mode, Perl_Compiler, Perl_Dir;
    int Timeout = 180;

    // [Registration]
    std::string name, organization, email, logo;

    // [Extensions], [Aliases], [Users], [Groups]
    std::optional<std::string> folderIcon;
    std::vector<FileTypeEntry> fileTypes;
    std::vector<AliasEntry> aliases;
    std::vector<UserEntry> users;
    std::vector<GroupEntry> groups;
};

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
