#include "engine/log/request_log.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include "engine/config/path_mapping.h"
#include "engine/core/engine.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/named_mutex.h"

namespace qv {

namespace {

constexpr std::size_t kLoggedUrlLength = 255;
constexpr int kGenerations = 30;

// Control bytes (and '"' in a quoted field) as %XX: a logged text can never
// end its line early or close its quotes.
std::string safeField(std::string_view text, bool quoted) { return controlsEscaped(text, quoted ? "\"" : ""); }

// The access log's URL: "Root" for none; at most 255 characters, without
// each "?..." up to the next blank unless search strings are logged.
std::string accessUrl(const Settings& s, std::string_view url) {
    if (url.empty()) return "Root";
    url = url.substr(0, kLoggedUrlLength);
    std::string out;
    for (std::size_t at = 0; at < url.size();) {
        std::size_t mark = s.logsearchstring ? std::string_view::npos : url.find('?', at);
        out.append(url.substr(at, mark - at));
        if (mark == std::string_view::npos) break;
        at = url.find(' ', mark);
    }
    return safeField(out, true);
}

std::string serverWord(uint32_t kind) {
    switch (kind) {
        case 0: return "unknown";
        case 1: return "web";
        case 2: return "ftp";
        case 3: return "gopher";
        default: return "ERROR";
    }
}

std::string logFolder(Connection& c, const Settings& s) {
    Server* server = c.server();
    std::string folder = server && !server->logDir.empty() ? server->logDir : s.logdir;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

std::string generationName(const std::string& folder, const std::string& base, int n, const std::string& extension) {
    char number[8];
    std::snprintf(number, sizeof number, "-%03d.", n);
    return folder + base + number + extension;
}

}  // namespace

namespace {

std::string zoneOffsetOf(const std::tm& tm) {
    const long minutes = tm.tm_gmtoff / 60;
    const int away = static_cast<int>(std::labs(minutes) % (100 * 60));  // zones lie within a day
    char text[16];
    std::snprintf(text, sizeof text, "%c%02d%02d", minutes < 0 ? '-' : '+', away / 60, away % 60);
    return text;
}

}  // namespace

std::string zoneOffsetText(std::time_t t) {
    std::tm tm {};
    localtime_r(&t, &tm);
    return zoneOffsetOf(tm);
}

std::string accessLogLine(const Settings& s, const LoggedRequest& r, const LoggedPeer& p) {
    if (!s.logany) return {};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm {};
    localtime_r(&r.start, &tm);
    char when[64];
    std::snprintf(when, sizeof when, "%d/%s/%d:%02d:%02d:%02d ", tm.tm_mday, kMonths[tm.tm_mon % 12],
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return concat({safeField(p.address, false), " - ", r.user.empty() ? "-" : safeField(r.user, false), " [", when,
                   zoneOffsetOf(tm), "] \"", accessUrl(s, r.url), "\" ", std::to_string(r.status), " ",
                   std::to_string(r.bytes), "\r\n"});
}

std::string extendedLogLine(const Settings& s, const LoggedRequest& r, const LoggedPeer& p, std::time_t end) {
    std::string line = "log {start " + std::to_string(r.start) + "} {method " +
                       (r.method.empty() ? "UNKNOWN" : safeField(r.method, false)) + "}";
    if (s.extended_server) line += " {server " + serverWord(p.serverKind) + "}";
    line += concat({" {url ", r.counterKey.empty() ? "/" : safeField(r.counterKey, false), "} {bytes ",
                    std::to_string(p.recordBytes), "} {host ", safeField(p.name, false), "}"});
    if (s.extended_agent && !r.userAgent.empty()) line += " {agent " + safeField(r.userAgent, false) + "}";
    if (s.extended_referer && !r.referer.empty()) line += " {referer " + safeField(r.referer, false) + "}";
    return line + " {end " + std::to_string(end) + "}\r\n";
}

std::string agentLogLine(const LoggedRequest& r) {
    return r.userAgent.empty() ? std::string() : safeField(r.userAgent, false) + "\r\n";
}

std::string refererLogLine(const LoggedRequest& r) {
    if (r.referer.empty()) return {};
    return concat({safeField(r.referer, false), " --> ", safeField(r.url, false), "\r\n"});
}

void logRequest(Connection& c, const Settings& s, const LoggedRequest& r) {
    Server* server = c.server();
    if (!server) return;
    AppendFiles& files = server->engine.logFiles;
    const std::string folder = logFolder(c, s);
    LoggedPeer peer {c.peerAddress, c.peerName(), c.serverKind, socketBytes(c.socketInfo)};
    if (s.extended) files.append(folder + "qvxp.log", extendedLogLine(s, r, peer, std::time(nullptr)));
    if (!s.enable_files) return;
    if (s.access_file) files.append(folder + "qvx.log", accessLogLine(s, r, peer));
    if (s.referer_file) files.append(folder + "referer.log", refererLogLine(r));
    if (s.agent_file) files.append(folder + "agent.log", agentLogLine(r));
}

int CycleLogs(Engine& engine, const std::string& folder, const std::string& base, const std::string& extension) {
    const std::string current = folder + base + "." + extension;
    debugPrintf("\r\nCycleLogs - Cycling %s%s.%s\r\n", folder.c_str(), base.c_str(), extension.c_str());
    std::unique_ptr<NamedMutex> own;
    NamedMutex* mutex = engine.logMutex.get();
    if (!mutex) mutex = (own = std::make_unique<NamedMutex>(engine.options.runtimeFolder, "QVX_LOG_MUTEX")).get();
    {
        std::lock_guard lock(*mutex);
        unlink(generationName(folder, base, kGenerations, extension).c_str());
        for (int n = kGenerations; n >= 2; --n) {
            const std::string older = generationName(folder, base, n - 1, extension);
            if (fileSizeAndDate(older).size > 0) rename(older.c_str(), generationName(folder, base, n, extension).c_str());
        }
        rename(current.c_str(), generationName(folder, base, 1, extension).c_str());
        // A writer that found no file after the rename has made one and
        // written to it: it is kept as it is.
        int fd = open(current.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) close(fd);
    }
    debugPrint("CycleLogs - Finish\r\n");
    return 1;
}

}  // namespace qv
