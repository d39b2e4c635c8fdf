#include "engine/config/settings.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <unistd.h>

#include "engine/config/passwords.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/profile.h"

namespace qv {

namespace {

constexpr const char* kOptions = "Options";

struct IntKey {
    const char* section;
    const char* key;
    int def;
    int Settings::*field;
    int min = INT_MIN;
    int max = INT_MAX;
};

struct TextKey {
    const char* section;
    const char* key;
    const char* def;
    std::size_t size;
    std::string Settings::*field;
    bool folder;  // a folder setting: backslashes become "/"
};

#define QV_INT(section, key, def) IntKey{section, #key, def, &Settings::key}
#define QV_SIZE(section, key, def, min, max) IntKey{section, #key, def, &Settings::key, min, max}
#define QV_TEXT(section, key, def, size, folder) TextKey{section, #key, def, size, &Settings::key, folder}

constexpr int kDay = 86400;

// The keys in the order the file is read, with this system's defaults.
// Sizes and times are bounded: a value outside its range is reported and
// the nearest bound used (a chunk size of 0 would send nothing, a time-out
// of 0 would end every read at once).
const IntKey kIntKeys[] = {
    QV_SIZE(kOptions, buffsize, 8192, 512, 8192), QV_INT(kOptions, sound, 0),
    QV_INT(kOptions, minimize, 0),           QV_INT(kOptions, hide, 0),
    QV_INT(kOptions, view_connects, 0),      QV_INT(kOptions, view_commands, 1),
    QV_INT(kOptions, view_files, 0),         QV_INT(kOptions, view_closing, 0),
    QV_INT(kOptions, debug1, 0),             QV_INT(kOptions, debug3, 0),
    QV_INT(kOptions, debug_cgi, 0),          QV_INT(kOptions, DNS_mode, 0),
    QV_INT(kOptions, DNS_use_cache, 1),      QV_INT(kOptions, webdirbrowsing, 0),
    QV_INT(kOptions, logany, 1),             QV_INT(kOptions, logsearchstring, 0),
    QV_INT(kOptions, countfilehits, 1),      QV_INT(kOptions, addtofilehits, 1),
    QV_INT(kOptions, localfilehits, 1),      QV_INT(kOptions, keep_alive, 0),
    QV_SIZE(kOptions, ftp_read_timeout, 600, 1, kDay),
    QV_SIZE(kOptions, gopher_read_timeout, 30, 1, kDay),
    QV_SIZE(kOptions, http_read_timeout, 60, 1, kDay),
    QV_INT(kOptions, ask_before_quit, 1),
    QV_INT(kOptions, gopherport, 70),        QV_INT(kOptions, httpport, 80),
    QV_SIZE(kOptions, max_body_size, 1048576, 0, 1 << 30),
    QV_SIZE(kOptions, max_connections, 1024, 1, 100000),
    QV_SIZE(kOptions, max_upload_mb, 1024, 1, 1 << 20),
    QV_SIZE(kOptions, max_message_size, 10485760, 1024, 1 << 30),
    QV_INT(kOptions, page_exec, 1),
    QV_INT("Logging", extended, 0),          QV_INT("Logging", extended_server, 0),
    QV_INT("Logging", extended_agent, 0),    QV_INT("Logging", extended_referer, 0),
    QV_INT("Logging", enable_files, 0),      QV_INT("Logging", access_file, 0),
    QV_INT("Logging", referer_file, 0),      QV_INT("Logging", agent_file, 0),
    QV_INT("Logging", error_file, 0),
    QV_SIZE("CGI", Timeout, 180, 1, kDay),   QV_INT(kOptions, maxretry, 1000),
    QV_INT(kOptions, pollevery, 200),        QV_INT(kOptions, throttle, 4),
    QV_INT(kOptions, greedy, 0),             QV_INT(kOptions, debug2, 0),
    QV_INT(kOptions, DDE_mode, 1),           QV_INT(kOptions, socketver, 0),
    QV_INT(kOptions, countreferer, 1),       QV_INT(kOptions, gopher_about_hide, 0),
};

const TextKey kTextKeys[] = {
    QV_TEXT(kOptions, hostname, "", 99, false),
    QV_TEXT(kOptions, ip, "", 99, false),
    QV_TEXT(kOptions, tempdir, "/var/lib/quorvane/temp/", 254, true),
    QV_TEXT(kOptions, logdir, "/var/lib/quorvane/logs/", 254, true),
    QV_TEXT(kOptions, gopherdir, "/var/lib/quorvane/gopher/", 254, true),
    QV_TEXT(kOptions, ftpdir, "/var/lib/quorvane/ftp/", 254, true),
    QV_TEXT(kOptions, webdir, "/var/lib/quorvane/html/", 254, true),
    QV_TEXT(kOptions, security_realm, "", 79, false),
    QV_TEXT("CGI", GMT_Offset, "No", 15, false),
    QV_TEXT("CGI", Debug_Mode, "No", 15, false),
    QV_TEXT("CGI", Perl_Compiler, "perl", 255, false),
    QV_TEXT("CGI", Perl_Dir, "/usr/bin/", 255, true),
    QV_TEXT("Registration", name, "", 79, false),
    QV_TEXT("Registration", organization, "", 79, false),
    QV_TEXT("Registration", email, "", 79, false),
    QV_TEXT("Registration", logo, "", 255, false),
    QV_TEXT(kOptions, althomepage, "", 254, false),
    QV_TEXT(kOptions, reject_ip_filename, "", 254, false),
    QV_TEXT(kOptions, gopher_about_filename, "", 254, false),
    QV_TEXT(kOptions, scramble_passwords, "", 8, false),
    QV_TEXT(kOptions, scramble_version, "", 8, false),
};

#undef QV_INT
#undef QV_SIZE
#undef QV_TEXT

std::string withFinalSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

void readFileTypes(const ProfileFile& ini, Settings& s) {
    std::string icon = ini.getString("Extensions", "folder_icon", "", 255);
    if (!icon.empty()) s.folderIcon = icon;
    for (std::size_t n = 1; n <= kMaxFileTypes; ++n) {
        std::string line = ini.getString("Extensions", "Map" + std::to_string(n), "", 255);
        if (line.empty()) break;
        auto words = splitWords(line);
        if (words.size() < 2) {
            debugPrintf("*** Error! Invalid extention map%zu in INI file.\r\n", n);
            continue;
        }
        FileTypeEntry e;
        e.extension = words[0].substr(0, 3);
        e.gopherType = words[1][0];
        if (words.size() > 2) e.mimeType = words[2];
        if (words.size() > 3) e.icon = words[3];
        s.fileTypes.push_back(std::move(e));
    }
}

void readAliases(const ProfileFile& ini, Settings& s) {
    for (std::size_t n = 1; n <= kMaxAliases; ++n) {
        std::string num = std::to_string(n);
        std::string line = ini.getString("Aliases", "Alias" + num, "", 512);
        if (line.empty()) break;
        auto words = splitWords(line);
        if (words.size() < 2) {
            // Without a folder the row would map requests to wherever the
            // server happens to run; it is refused instead.
            debugPrintf("*** Error! Alias%zu has no folder; the alias is ignored.\r\n", n);
            continue;
        }
        AliasEntry a;
        a.path = urlUnescape(words[0], false);
        a.folder = folderSetting(urlUnescape(words[1], false));
        if (words.size() > 2) a.owner = words[2];
        if (words.size() > 3) a.access = words[3];
        char program = words.size() > 4 ? words[4][0] : '.';
        a.programs = program == 'C' || program == 'c' || program == 's';
        a.standardCgi = program == 's';
        a.messages = words.size() > 5 && (words[5][0] == 'M' || words[5][0] == 'm');
        a.listings = words.size() > 6 && (words[6][0] == 'D' || words[6][0] == 'd');
        std::string ftpOwner = ini.getString("Aliases", "FTPOwner" + num, "", 18);
        std::string ftpGroup = ini.getString("Aliases", "FTPGroup" + num, "", 18);
        if (ini.hasKey("Aliases", "FTPOwner" + num)) a.ftpOwner = ftpOwner;
        if (ini.hasKey("Aliases", "FTPGroup" + num)) a.ftpGroup = ftpGroup;
        a.ftpRights = ini.getString("Aliases", "FTPRights" + num, ".........", 18).substr(0, 15);
        s.aliases.push_back(std::move(a));
    }
}

// The stored password of a user line, or nothing when the line is refused.
std::optional<std::string> userPassword(const Settings& s, const std::string& word) {
    bool scrambled = !s.scramble_passwords.empty() && (s.scramble_passwords[0] == 'Y' || s.scramble_passwords[0] == 'y');
    if (!scrambled) return word;
    if (word.size() != 34) {
        debugPrint("*** Error!  Invallid scrambled password!  Length does not equal 34.\r\n");
        return std::nullopt;
    }
    if (!s.scramble_version.empty() && s.scramble_version != "1.5") {
        debugPrint("*** Error!  Unable to read passwords scrambled with newer version!\r\n");
        return std::nullopt;
    }
    return unscramblePassword(word);
}

void readUsers(const ProfileFile& ini, Settings& s) {
    for (std::size_t n = 1; n <= kMaxUsers; ++n) {
        std::string line = ini.getString("Users", "User" + std::to_string(n), "", 512);
        if (line.empty()) break;
        auto words = splitWords(line);
        if (words.size() < 2) {
            // A user without a password would need none to log in; such a
            // line is refused rather than let anybody in under that name.
            debugPrintf("*** Error! User%zu has no password; the user is ignored.\r\n", n);
            continue;
        }
        auto password = userPassword(s, words[1]);
        if (!password) continue;
        UserEntry user;
        user.name = lowerCase(words[0]);
        user.password = std::move(*password);
        // The user's FTP keys carry the number of its User line.
        const std::string num = std::to_string(n);
        user.superUser = ini.getString("Users", "FTPSuperUser" + num, "", 16).starts_with('1');
        std::string home = ini.getString("Users", "FTPDir" + num, "", 260);
        if (!home.empty())
            user.ftpHome = FtpHome {folderSetting(std::move(home)), ini.getInt("Users", "FTPRestrict" + num, 0),
                                    ini.getInt("Users", "FTPDirWrite" + num, 0)};
        s.users.push_back(std::move(user));
    }
}

void readHostRestrictions(const ProfileFile& ini, Settings& s) {
    for (const std::string& key : ini.keys("Host Restrictions"))
        s.hostRestrictions.emplace_back(key, ini.getString("Host Restrictions", key, "", 256));
    // A restriction an alias names but the file lacks admits everybody (as
    // it always has); the owner should know.
    for (std::size_t i = 0; i < s.aliases.size(); ++i) {
        const AliasEntry& a = s.aliases[i];
        if (a.access.empty() || equalsNoCase(a.access, "anywhere")) continue;
        auto mask = hostRestriction(s, a.access);
        if (!mask || mask->empty())
            debugPrintf("*** Error! Alias %s names the host restriction '%s', which [Host Restrictions] does not "
                        "define; the alias admits everybody.\r\n",
                        a.path.c_str(), a.access.c_str());
    }
}

void readNumbers(const ProfileFile& ini, Settings& s) {
    for (const auto& k : kIntKeys) {
        int value = ini.getInt(k.section, k.key, k.def);
        int bounded = std::clamp(value, k.min, k.max);
        if (bounded != value)
            debugPrintf("*** Error! %s=%d is out of range (%d to %d); %d is used.\r\n", k.key, value, k.min, k.max,
                        bounded);
        s.*k.field = bounded;
    }
}

std::string groupNameCase(std::string name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        unsigned char c = name[i];
        name[i] = static_cast<char>(i == 0 ? std::toupper(c) : std::tolower(c));
    }
    return name;
}

// Splits a group line: the name is the first blank-separated word, the
// members follow, separated by any of blank, comma, tab, CR and LF.
GroupEntry parseGroupLine(std::string_view line) {
    GroupEntry g;
    std::size_t i = line.find_first_not_of(" \t");
    if (i == std::string_view::npos) return g;
    std::size_t end = std::min(line.find_first_of(" \t", i), line.size());
    g.name = groupNameCase(std::string(line.substr(i, end - i)));
    std::string_view rest = line.substr(end);
    constexpr std::string_view kSeparators = " ,\t\r\n";
    for (std::size_t at = rest.find_first_not_of(kSeparators); at != std::string_view::npos;
         at = rest.find_first_not_of(kSeparators, at)) {
        std::size_t stop = std::min(rest.find_first_of(kSeparators, at), rest.size());
        if (g.members.size() < kMaxGroupMembers) g.members.push_back(lowerCase(std::string(rest.substr(at, stop - at))));
        at = stop;
    }
    return g;
}

void readGroups(const ProfileFile& ini, Settings& s) {
    for (std::size_t n = 1; n <= kMaxGroups; ++n) {
        std::string key = "Group" + std::to_string(n);
        std::string line = ini.getString("Groups", key, "", 1022);
        if (line.empty()) break;
        GroupEntry g = parseGroupLine(line);
        std::string exFile = ini.getString("Groups", key + ".exFile", "", 1022);
        if (!exFile.empty()) g.externalFile = folderSetting(exFile);
        s.groups.push_back(std::move(g));
    }
}

}  // namespace

std::string settingsFilePath(const std::string& settingsFolder) {
    if (settingsFolder.empty()) return "quorvane.ini";
    return settingsFolder.back() == '/' ? settingsFolder + "quorvane.ini" : settingsFolder + "/quorvane.ini";
}

std::vector<std::string> splitWords(std::string_view line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words.emplace_back(line.substr(start, i - start));
    }
    return words;
}

std::string folderSetting(std::string text) {
    for (char& c : text)
        if (c == '\\') c = '/';
    return text;
}

std::optional<int> numberSetting(const Settings& s, std::string_view section, std::string_view key) {
    for (const auto& k : kIntKeys)
        if (equalsNoCase(k.section, section) && equalsNoCase(k.key, key)) return s.*k.field;
    return std::nullopt;
}

bool setNumberSetting(Settings& s, std::string_view section, std::string_view key, int value) {
    for (const auto& k : kIntKeys) {
        if (!equalsNoCase(k.section, section) || !equalsNoCase(k.key, key)) continue;
        s.*k.field = std::clamp(value, k.min, k.max);
        return true;
    }
    return false;
}

Settings::Settings() {
    for (const auto& k : kIntKeys) this->*k.field = k.def;
    for (const auto& k : kTextKeys) this->*k.field = k.def;
}

std::optional<std::string_view> hostRestriction(const Settings& s, std::string_view key) {
    for (const auto& [name, value] : s.hostRestrictions)
        if (equalsNoCase(name, key)) return std::string_view(value);
    return std::nullopt;
}

std::shared_ptr<const Settings> readSettings(const std::string& iniPath) {
    debugPrint("Reading ini file...\r\n");
    auto s = std::make_shared<Settings>();
    s->iniPath = iniPath;
    s->fromFile = access(iniPath.c_str(), R_OK) == 0;
    if (s->fromFile)
        debugPrint("Reading settings from '" + iniPath + "'\r\n");
    else
        debugPrint("*** No settings file at '" + iniPath + "'; using the built-in defaults.\r\n");
    ProfileFile ini(iniPath);
    readNumbers(ini, *s);
    for (const auto& k : kTextKeys) {
        std::string value = ini.getString(k.section, k.key, k.def, k.size);
        (*s).*k.field = k.folder ? folderSetting(std::move(value)) : std::move(value);
    }
    s->gopherdir = withFinalSlash(s->gopherdir);
    s->ftpdir = withFinalSlash(s->ftpdir);
    s->webdir = withFinalSlash(s->webdir);
    readFileTypes(ini, *s);
    readAliases(ini, *s);
    readUsers(ini, *s);
    readGroups(ini, *s);
    readHostRestrictions(ini, *s);
    return s;
}

std::shared_ptr<const Settings> SettingsHolder::get() const {
    std::lock_guard lock(mutex_);
    return current_;
}

void SettingsHolder::publish(std::shared_ptr<const Settings> next) {
    std::lock_guard lock(mutex_);
    current_ = std::move(next);
}

void SettingsHolder::release() {
    debugPrint("Freeing old INI information...\r\n");
    publish(std::make_shared<const Settings>());
}

}  // namespace qv
