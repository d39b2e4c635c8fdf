#include "windowed/settings_model.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/config/passwords.h"
#include "engine/log/strings.h"

namespace qv {

namespace {

constexpr const char* kOptions = "Options";
constexpr const char* kNoRights = ".........";
constexpr std::size_t kMaxScrambled = 16;

// The Logging page's check boxes: [Logging] keys, 0 when absent.
constexpr std::pair<const char*, bool LoggingValues::*> kLoggingFlags[] = {
    {"extended", &LoggingValues::extended},          {"extended_server", &LoggingValues::extendedServer},
    {"extended_referer", &LoggingValues::extendedReferer}, {"extended_agent", &LoggingValues::extendedAgent},
    {"enable_files", &LoggingValues::enableFiles},    {"access_file", &LoggingValues::accessFile},
    {"referer_file", &LoggingValues::refererFile},    {"agent_file", &LoggingValues::agentFile},
    {"error_file", &LoggingValues::errorFile},
};

// The Hit Counts page's check boxes: [Options] keys, 1 when absent.
constexpr std::pair<const char*, bool HitCountValues::*> kHitCountFlags[] = {
    {"countfilehits", &HitCountValues::countFileHits},
    {"addtofilehits", &HitCountValues::addToFileHits},
    {"localfilehits", &HitCountValues::localFileHits},
};

// ---- reading

struct Reader {
    const ProfileFile& ini;
    std::string text(const char* section, const std::string& key, std::size_t size = 260) const {
        return ini.getString(section, key, "", size + 1);
    }
    bool flag(const char* section, const std::string& key, int def) const { return ini.getInt(section, key, def) != 0; }
    int number(const char* section, const std::string& key, int def) const { return ini.getInt(section, key, def); }
};

// The words of a line, split at any of `separators`.
std::vector<std::string> words(std::string_view line, std::string_view separators = " \t") {
    std::vector<std::string> out;
    for (std::size_t at = line.find_first_not_of(separators); at != std::string_view::npos;
         at = line.find_first_not_of(separators, at)) {
        const std::size_t stop = std::min(line.find_first_of(separators, at), line.size());
        out.emplace_back(line.substr(at, stop - at));
        at = stop;
    }
    return out;
}

std::string unescaped(std::string text) { return urlUnescape(text, false); }

std::string ownProgram() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

void readUsers(const Reader& r, SheetValues& v) {
    for (int n = 1; n <= kEditorUsers; ++n) {
        const std::string num = std::to_string(n);
        const auto line = words(r.text("Users", "User" + num, 512));
        if (line.empty()) break;
        UserRow u;
        u.name = line[0];
        if (line.size() > 1 && v.unknownScrambleVersion)
            u.password = u.unreadablePassword = line[1];
        else if (line.size() > 1)
            u.password = v.scramblePasswords && line[1].size() == 34 ? unscramblePassword(line[1]) : line[1];
        u.ftpDir = r.text("Users", "FTPDir" + num);
        u.ftpWrite = r.flag("Users", "FTPDirWrite" + num, 0);
        u.ftpRestrict = r.flag("Users", "FTPRestrict" + num, 0);
        u.ftpSuperUser = r.text("Users", "FTPSuperUser" + num, 16).starts_with('1');
        v.users.push_back(std::move(u));
    }
}

void readFileTypes(const Reader& r, SheetValues& v) {
    for (int n = 1; n <= kEditorFileTypes; ++n) {
        const auto line = words(r.text("Extensions", "Map" + std::to_string(n), 255));
        if (line.empty()) break;
        FileTypeRow t;
        t.extension = line[0];
        if (line.size() > 1) t.gopherType = line[1][0];
        if (line.size() > 2) t.mimeType = line[2];
        if (line.size() > 3) t.icon = line[3];
        v.fileTypes.push_back(std::move(t));
    }
}

bool letterIs(const std::vector<std::string>& line, std::size_t i, char upper) {
    return line.size() > i && (line[i][0] == upper || line[i][0] == upper + ('a' - 'A'));
}

void readFolders(const Reader& r, SheetValues& v) {
    for (int n = 1; n <= kEditorFolders; ++n) {
        const std::string num = std::to_string(n);
        const auto line = words(r.text("Aliases", "Alias" + num, 1024));
        if (line.empty()) break;
        FolderRow f;
        f.urlPath = unescaped(line[0]);
        if (line.size() > 1) f.folder = unescaped(line[1]);
        if (line.size() > 2) f.owner = line[2];
        if (line.size() > 3) f.access = line[3];
        f.standardCgi = line.size() > 4 && line[4][0] == 's';
        f.cgi = f.standardCgi || letterIs(line, 4, 'C');
        f.messages = letterIs(line, 5, 'M');
        f.listings = letterIs(line, 6, 'D');
        f.ftpOwner = r.text("Aliases", "FTPOwner" + num, 17);
        f.ftpGroup = r.text("Aliases", "FTPGroup" + num, 17);
        const std::string rights = r.text("Aliases", "FTPRights" + num, 15);
        if (!rights.empty()) f.ftpRights = rights;
        v.folders.push_back(std::move(f));
    }
}

void readServers(const Reader& r, SheetValues& v) {
    ServersValues& s = v.servers;
    s.webdir = r.text(kOptions, "webdir");
    s.ftpdir = r.text(kOptions, "ftpdir");
    s.gopherdir = r.text(kOptions, "gopherdir");
    s.httpPort = r.number(kOptions, "httpport", 80);
    s.ftpPort = r.number(kOptions, "ftpport", 21);
    s.gopherPort = r.number(kOptions, "gopherport", 70);
    static const char* kDefaults[] = {"httpd", "gopherd", "ftpd"};
    for (int n = 1; n <= kEditorServers; ++n) {
        const std::string num = std::to_string(n);
        std::string type = r.text("Multi", "server" + num, 15);
        if (type.empty()) type = r.text("Multi", "type" + num, 15);
        if (type.empty() && n <= 3) type = kDefaults[n - 1];
        if (type.empty() || type[0] == 'n' || type[0] == 'N') break;
        s.servers.push_back({type, r.text("Multi", "port" + num, 15), r.text("Multi", "dir" + num, 258),
                             r.text("Multi", "logdir" + num, 258), r.text("Multi", "host" + num, 99),
                             r.text("Multi", "ip" + num, 31), r.text("Multi", "virtual_alias" + num, 258)});
    }
}

void readGroups(const Reader& r, SheetValues& v) {
    for (int n = 1; n <= kEditorGroups; ++n) {
        auto line = words(r.text("Groups", "Group" + std::to_string(n), 1022), " ,\t");
        if (line.empty()) break;
        v.groups.push_back({line[0], std::vector<std::string>(line.begin() + 1, line.end())});
    }
}

bool startsAtLogin(const std::string& entryPath) {
    std::ifstream in(entryPath);
    const std::string wanted = "Exec=" + ownProgram();
    for (std::string line; std::getline(in, line);)
        if (line == wanted) return true;
    return false;
}

// ---- writing

struct Writes {
    std::vector<ProfileWrite> list;
    void set(const char* section, const std::string& key, std::string value) {
        list.push_back({section, key, std::move(value)});
    }
    void setFlag(const char* section, const std::string& key, bool on) { set(section, key, on ? "1" : "0"); }
    void setNumber(const char* section, const std::string& key, int value) { set(section, key, std::to_string(value)); }
    void remove(const char* section, const std::string& key) { list.push_back({section, key, std::nullopt}); }
    // The value, or no key at all when it is empty.
    void setOrRemove(const char* section, const std::string& key, const std::string& value) {
        if (value.empty())
            remove(section, key);
        else
            set(section, key, value);
    }
};

std::string cut(const std::string& text, std::size_t size) { return text.substr(0, size); }

void writeGeneral(const GeneralValues& g, Writes& w) {
    w.set("Registration", "name", cut(g.name, 80));
    w.set("Registration", "organization", cut(g.organization, 80));
    w.set("Registration", "email", cut(g.email, 80));
    w.set(kOptions, "hostname", g.hostname);
    w.set(kOptions, "ip", g.ip);
}

void writeLogging(const LoggingValues& l, Writes& w) {
    w.set(kOptions, "logdir", l.logdir);
    for (auto [key, field] : kLoggingFlags) w.setFlag("Logging", key, l.*field);
}

void writeHitCounts(const HitCountValues& h, Writes& w) {
    for (auto [key, field] : kHitCountFlags) w.setFlag(kOptions, key, h.*field);
}

void writeMisc(const MiscValues& m, Writes& w) {
    w.set(kOptions, "tempdir", m.tempdir);
    w.set(kOptions, "security_realm", m.securityRealm);
    w.setFlag(kOptions, "DNS_mode", m.dnsMode);
    w.setFlag(kOptions, "DNS_use_cache", m.dnsUseCache);
    w.setNumber(kOptions, "http_read_timeout", m.httpReadTimeout);
    w.setNumber(kOptions, "gopher_read_timeout", m.gopherReadTimeout);
    w.setNumber(kOptions, "ftp_read_timeout", m.ftpReadTimeout);
    w.setFlag(kOptions, "ask_before_quit", m.askBeforeQuit);
    w.setFlag(kOptions, "minimize", m.minimize);
    w.setFlag(kOptions, "hide", m.hide);
    w.setNumber(kOptions, "buffsize", m.sendBufferSize);
}

void writeCgi(const CgiValues& c, Writes& w) {
    w.set("CGI", "Perl_Compiler", c.perlCompiler);
    w.set("CGI", "Perl_Dir", c.perlDir);
    w.set("CGI", "GMT_Offset", c.gmtOffset);
    w.set("CGI", "Debug_Mode", c.debugMode ? "Yes" : "No");
}

// The keys of numbers after the last written one go, up to the limit.
void removeAfter(Writes& w, const char* section, std::initializer_list<const char*> keys, int last, int limit) {
    for (int n = last + 1; n <= limit; ++n)
        for (const char* key : keys) w.remove(section, key + std::to_string(n));
}

void writeUsers(const SheetValues& v, Writes& w) {
    int n = 0;
    for (const UserRow& u : v.users) {
        if (u.name.empty()) continue;
        const std::string num = std::to_string(++n);
        const bool kept = !u.unreadablePassword.empty() && u.password == u.unreadablePassword;
        const std::string password = kept || !v.scramblePasswords ? u.password : scramblePassword(u.password);
        w.set("Users", "User" + num, u.name + " " + password);
        w.setOrRemove("Users", "FTPDir" + num, u.ftpDir);
        if (u.ftpDir.empty())
            w.remove("Users", "FTPDirWrite" + num);
        else
            w.setFlag("Users", "FTPDirWrite" + num, u.ftpWrite);
        w.setOrRemove("Users", "FTPSuperUser" + num, u.ftpSuperUser ? "1" : "");
        w.setOrRemove("Users", "FTPRestrict" + num, u.ftpRestrict ? "1" : "");
    }
    removeAfter(w, "Users", {"User", "FTPDir", "FTPDirWrite", "FTPSuperUser", "FTPRestrict"}, n, kEditorUsers);
}

void writeFileTypes(const SheetValues& v, Writes& w) {
    int n = 0;
    for (const FileTypeRow& t : v.fileTypes) {
        if (t.extension.empty()) continue;
        w.set("Extensions", "Map" + std::to_string(++n),
              concat({t.extension, " ", std::string(1, t.gopherType), " ", t.mimeType, " ", t.icon}));
    }
    removeAfter(w, "Extensions", {"Map"}, n, kEditorFileTypes);
}

std::string folderLine(const FolderRow& f) {
    const char program = !f.cgi ? '.' : f.standardCgi ? 's' : 'C';
    return concat({urlEscape(f.urlPath), " ", urlEscape(f.folder), " ", f.owner.empty() ? "Anybody" : f.owner, " ",
                   f.access.empty() ? "Anywhere" : f.access, " ", std::string(1, program), " ",
                   f.messages ? "M" : ".", " ", f.listings ? "D" : "."});
}

void writeFolders(const SheetValues& v, Writes& w) {
    int n = 0;
    for (const FolderRow& f : v.folders) {
        if (f.urlPath.empty()) continue;
        const std::string num = std::to_string(++n);
        w.set("Aliases", "Alias" + num, folderLine(f));
        // A folder's FTP owner, group and rights carry its number: they are
        // written with it, so they move when rows above it go.
        w.setOrRemove("Aliases", "FTPOwner" + num, f.ftpOwner);
        w.setOrRemove("Aliases", "FTPGroup" + num, f.ftpGroup);
        w.setOrRemove("Aliases", "FTPRights" + num, f.ftpRights == kNoRights ? "" : f.ftpRights);
    }
    removeAfter(w, "Aliases", {"Alias", "FTPOwner", "FTPGroup", "FTPRights"}, n, kEditorFolders);
}

void writeServers(const ServersValues& s, Writes& w) {
    w.set(kOptions, "webdir", s.webdir);
    w.set(kOptions, "ftpdir", s.ftpdir);
    w.set(kOptions, "gopherdir", s.gopherdir);
    w.setNumber(kOptions, "httpport", s.httpPort);
    w.setNumber(kOptions, "ftpport", s.ftpPort);
    w.setNumber(kOptions, "gopherport", s.gopherPort);
    for (int n = 1; n <= kEditorServers; ++n) {
        const std::string num = std::to_string(n);
        const ServerRow* row = n <= static_cast<int>(s.servers.size()) ? &s.servers[n - 1] : nullptr;
        // An old-style type%d would stand in for a server%d that is gone.
        w.remove("Multi", "type" + num);
        if (!row) {
            // Servers 1 to 3 have defaults that a missing key would bring back.
            if (n < 4)
                w.set("Multi", "server" + num, "n");
            else
                w.remove("Multi", "server" + num);
            for (const char* key : {"port", "dir", "logdir", "host", "ip", "virtual_alias"}) w.remove("Multi", key + num);
            continue;
        }
        w.set("Multi", "server" + num, cut(row->type, 7));
        w.setOrRemove("Multi", "port" + num, cut(row->port, 7));
        w.setOrRemove("Multi", "dir" + num, cut(row->dir, 258));
        w.setOrRemove("Multi", "logdir" + num, cut(row->logdir, 258));
        w.setOrRemove("Multi", "host" + num, cut(row->host, 89));
        w.setOrRemove("Multi", "ip" + num, cut(row->ip, 30));
        w.setOrRemove("Multi", "virtual_alias" + num, cut(row->virtualAlias, 258));
    }
}

}  // namespace

const char* pageTitle(SheetPage page) {
    static const char* kTitles[kSheetPages] = {"General", "Logging",        "Hit Counts", "Misc",   "Users",
                                               "File Types", "Shared Folders", "CGI",        "Servers"};
    return kTitles[static_cast<int>(page)];
}

SheetValues readSheet(const std::string& iniPath, const std::string& autostartPath) {
    const ProfileFile ini(iniPath);
    const Reader r {ini};
    SheetValues v;
    const std::string scramble = r.text(kOptions, "scramble_passwords", 8);
    v.scramblePasswords = !scramble.empty() && (scramble[0] == 'Y' || scramble[0] == 'y');
    const std::string version = r.text(kOptions, "scramble_version", 8);
    v.unknownScrambleVersion = v.scramblePasswords && !version.empty() && version != "1.5";
    v.general = {r.text("Registration", "name", 80), r.text("Registration", "organization", 80),
                 r.text("Registration", "email", 80), r.text(kOptions, "hostname", 99), r.text(kOptions, "ip", 99)};
    v.logging.logdir = r.text(kOptions, "logdir");
    for (auto [key, field] : kLoggingFlags) v.logging.*field = r.flag("Logging", key, 0);
    for (auto [key, field] : kHitCountFlags) v.hitCounts.*field = r.flag(kOptions, key, 1);
    MiscValues& m = v.misc;
    m.tempdir = r.text(kOptions, "tempdir");
    m.securityRealm = r.text(kOptions, "security_realm", 79);
    m.dnsMode = r.flag(kOptions, "DNS_mode", 0);
    m.dnsUseCache = r.flag(kOptions, "DNS_use_cache", 1);
    m.httpReadTimeout = r.number(kOptions, "http_read_timeout", 60);
    m.gopherReadTimeout = r.number(kOptions, "gopher_read_timeout", 30);
    m.ftpReadTimeout = r.number(kOptions, "ftp_read_timeout", 600);
    m.askBeforeQuit = r.flag(kOptions, "ask_before_quit", 1);
    m.minimize = r.flag(kOptions, "minimize", 0);
    m.hide = r.flag(kOptions, "hide", 0);
    m.sendBufferSize = r.number(kOptions, "buffsize", 8192);
    m.startAtLogin = startsAtLogin(autostartPath);
    v.cgi = {r.text("CGI", "Perl_Compiler", 255), r.text("CGI", "Perl_Dir", 255), r.text("CGI", "GMT_Offset", 15),
             r.text("CGI", "Debug_Mode", 15).starts_with('Y') || r.text("CGI", "Debug_Mode", 15).starts_with('y')};
    readUsers(r, v);
    readFileTypes(r, v);
    readFolders(r, v);
    readServers(r, v);
    readGroups(r, v);
    for (const std::string& key : ini.keys("Host Restrictions"))
        if (!key.ends_with(".redirect")) v.hostRestrictions.push_back(key);
    return v;
}

std::vector<ProfileWrite> pageWrites(SheetPage page, const SheetValues& v) {
    Writes w;
    switch (page) {
        case SheetPage::kGeneral: writeGeneral(v.general, w); break;
        case SheetPage::kLogging: writeLogging(v.logging, w); break;
        case SheetPage::kHitCounts: writeHitCounts(v.hitCounts, w); break;
        case SheetPage::kMisc: writeMisc(v.misc, w); break;
        case SheetPage::kUsers: writeUsers(v, w); break;
        case SheetPage::kFileTypes: writeFileTypes(v, w); break;
        case SheetPage::kSharedFolders: writeFolders(v, w); break;
        case SheetPage::kCgi: writeCgi(v.cgi, w); break;
        case SheetPage::kServers: writeServers(v.servers, w); break;
    }
    return std::move(w.list);
}

int saveSheet(const std::string& iniPath, const SheetValues& values, const std::vector<SheetPage>& changed) {
    std::vector<ProfileWrite> all;
    for (SheetPage page : changed) {
        auto writes = pageWrites(page, values);
        all.insert(all.end(), std::make_move_iterator(writes.begin()), std::make_move_iterator(writes.end()));
    }
    if (all.empty()) return 0;
    return ProfileFile(iniPath).writeBatch(all);
}

int saveGroups(const std::string& iniPath, const std::vector<GroupRow>& groups) {
    Writes w;
    int n = 0;
    for (const GroupRow& g : groups) {
        if (g.name.empty()) continue;
        std::string line = g.name;
        for (const std::string& member : g.members) line += " " + member;
        w.set("Groups", "Group" + std::to_string(++n), line);
    }
    removeAfter(w, "Groups", {"Group"}, n, kEditorGroups);
    return ProfileFile(iniPath).writeBatch(w.list);
}

std::string autostartEntryPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config) return std::string(config) + "/autostart/quorvane.desktop";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config/autostart/quorvane.desktop";
}

int setStartAtLogin(const std::string& entryPath, const std::string& program, bool on) {
    std::error_code ec;
    if (!on) {
        std::filesystem::remove(entryPath, ec);
        return ec ? ec.value() : 0;
    }
    const std::string entry = "[Desktop Entry]\nType=Application\nName=Quorvane Pro\nComment=Runs the Quorvane "
                              "servers at login\nExec=" + program + "\nIcon=qvx_pro\nTerminal=false\n";
    std::ifstream old(entryPath);
    std::stringstream current;
    current << old.rdbuf();
    if (current.str() == entry) return 0;
    std::filesystem::create_directories(std::filesystem::path(entryPath).parent_path(), ec);
    std::ofstream out(entryPath, std::ios::trunc);
    out << entry;
    out.close();
    return out ? 0 : (errno ? errno : EIO);
}

std::optional<std::string> passwordProblem(std::string_view password, bool scrambling) {
    if (password.find_first_of(" \t") != std::string_view::npos)
        return "A password cannot contain blanks: the settings file separates the user name and the password by "
               "a blank.";
    if (scrambling && password.size() > kMaxScrambled)
        return "A password can be at most 16 characters long while passwords are scrambled.";
    return std::nullopt;
}

bool validUserName(std::string_view name) {
    if (name.empty() || name.size() > 8) return false;
    for (unsigned char c : name)
        if (c <= ' ' || c == '=' || c == 127) return false;
    return true;
}

}  // namespace qv
