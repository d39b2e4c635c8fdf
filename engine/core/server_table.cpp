#include "engine/core/server_table.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/core/engine.h"
#include "engine/core/accept.h"
#include "engine/core/registry.h"
#include "engine/platform/runtime_dir.h"
#include "engine/platform/unique_fd.h"
#include "engine/output.h"

namespace qv {

namespace {

constexpr int kMaxServerNumber = 32;

std::string readMulti(const ProfileFile& ini, const char* key, int n, std::string_view def, std::size_t size) {
    return ini.getString("Multi", key + std::to_string(n), def, size);
}

std::string typeOfServer(const ProfileFile& ini, int n) {
    static const char* kDefaults[] = {"httpd", "gopherd", "ftpd"};
    std::string fallback = n <= 3 ? kDefaults[n - 1] : "";
    std::string type = readMulti(ini, "type", n, "", 15);
    if (type.empty()) type = fallback;
    std::string server = readMulti(ini, "server", n, "", 15);
    return server.empty() ? type : server;
}

const std::string& rootFolder(const Settings& s, RootFolder root) {
    switch (root) {
        case RootFolder::kFtp: return s.ftpdir;
        case RootFolder::kGopher: return s.gopherdir;
        case RootFolder::kWeb: break;
    }
    return s.webdir;
}

std::string systemHostName() {
    char name[100] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace

std::string dottedAddress(uint32_t networkOrder) {
    const auto* b = reinterpret_cast<const unsigned char*>(&networkOrder);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

const Protocol* protocolOfType(std::span<const Protocol> protocols, std::string_view type) {
    if (type.empty() || type[0] == 'n') return nullptr;
    const Protocol* fallback = nullptr;
    for (const Protocol& p : protocols) {
        if (p.typeLetter == type[0]) return &p;
        if (p.typeLetter == 0) fallback = &p;
    }
    return fallback;
}

std::vector<ServerEntry> readServerTable(const ProfileFile& ini, const Settings& s,
                                         std::span<const Protocol> protocols) {
    std::vector<ServerEntry> table;
    for (int n = 1;; ++n) {
        const Protocol* protocol = protocolOfType(protocols, typeOfServer(ini, n));
        if (!protocol) break;
        if (n > kMaxServerNumber) {
            debugPrintf("*** Error! Only %d servers can run; server%d and later are ignored.\r\n", kMaxServerNumber, n);
            break;
        }
        ServerEntry e;
        e.number = n;
        e.protocol = protocol;
        e.host = readMulti(ini, "host", n, s.hostname, 99);
        e.ip = readMulti(ini, "ip", n, s.ip, 31);
        e.portText = readMulti(ini, "port", n, std::to_string(protocol->defaultPort), 15);
        e.dir = folderSetting(readMulti(ini, "dir", n, rootFolder(s, protocol->root), 259));
        if (!e.dir.empty() && e.dir.back() != '/') e.dir += '/';
        e.logDir = folderSetting(readMulti(ini, "logdir", n, s.logdir, 259));
        e.virtualAlias = readMulti(ini, "virtual_alias", n, "", 259);
        if (!e.virtualAlias.empty() && e.virtualAlias.back() == '/') e.virtualAlias.pop_back();
        table.push_back(std::move(e));
    }
    return table;
}

std::optional<int> portNumber(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (text.empty() || text.size() > 5) return std::nullopt;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port > 65535) return std::nullopt;
    return port;
}

bool parseAddressText(const std::string& text, uint32_t& networkOrder) {
    networkOrder = 0;
    if (text.empty()) return true;
    unsigned char bytes[4] = {};
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (at > text.size()) return false;
        std::size_t dot = text.find('.', at);
        std::string piece = text.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
        bytes[part] = static_cast<unsigned char>(std::atoi(piece.c_str()));
        if (dot == std::string::npos) {
            if (part < 3) return false;
            at = text.size() + 1;
        } else {
            at = dot + 1;
        }
    }
    std::memcpy(&networkOrder, bytes, 4);
    return true;
}

int startListening(Server& server, int port, int number, const std::string& addressText,
                   const std::string& hostText, const Settings& s) {
    server.port = port;
    server.serverNumber = number;
    server.ipAddress = addressText.empty() ? s.ip : addressText;
    server.hostName = !hostText.empty() ? hostText : !s.hostname.empty() ? s.hostname : systemHostName();
    server.hostNameConfigured = !hostText.empty() || !s.hostname.empty();

    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fd.valid()) {
        debugPrintf("Unable to create socket %s:%d\r\n", server.ipAddress.c_str(), port);
        debugPrintf("Reason: %d\r\n", errno);
        return 1;
    }
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (!parseAddressText(server.ipAddress, local.sin_addr.s_addr)) {
        debugPrint("** Invallid IP address\r\n");
        return 1;
    }
    // Lets a restarted server bind while connections of its previous run sit
    // in TIME_WAIT; a port that a live socket holds is still refused.
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        int err = errno;
        debugPrintf("Unable to bind to port %s:%d\r\n", server.ipAddress.c_str(), port);
        debugPrintf("Reason: %d\r\n", err);
        return 1;
    }
    socklen_t len = sizeof local;
    if (getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &len) == 0) {
        server.port = ntohs(local.sin_port);
        server.listenAddress = local.sin_addr.s_addr;
    }
    if (server.ipAddress.empty()) server.ipAddress = dottedAddress(local.sin_addr.s_addr);
    // The classic backlog of 5 was that platform's SOMAXCONN; use this one's.
    if (listen(fd.get(), SOMAXCONN) != 0) {
        int err = errno;
        debugPrintf("Error doing listen on %s:%d\r\n", server.ipAddress.c_str(), port);
        debugPrintf("Reason: %d\r\n", err);
        return 2;
    }
    debugPrintf("Listening on %s:%d\r\n", server.ipAddress.c_str(), port);
    linger lingerOn {1, 5000};
    if (setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &lingerOn, sizeof lingerOn) != 0) {
        debugPrint("Error doing setsockopt\r\n");
        debugPrintf("Reason: %d\r\n", errno);
    }
    server.sock = fd.release();
    return 0;
}

int startServerThread(Server& server) {
    server.next = nullptr;
    server.prev = nullptr;
    server.openConnections = 0;
    server.peakConnections = 0;
    server.totalConnections = 0;
    server.overloadCount = 0;
    server.countMutex = server.engine.countMutex.get();
    server.logMutex = server.engine.logMutex.get();
    server.state = 4;
    if (!startAccepting(server)) debugPrintf("** Error creating the accept thread of server #%d\r\n", server.serverNumber);
    return 0;
}

void loadTotals(Server& server) {
    ProfileFile counts(joinPath(server.logDir, "counts.qvx"));
    server.totalConnects = std::atoi(counts.getString("Totals", "Connects", "0", 254).c_str());
    server.totalFilesSentOK = std::atoi(counts.getString("Totals", "FilesSentOK", "0", 254).c_str());
    server.totalBytesSent = std::strtod(counts.getString("Totals", "BytesSent", "0", 254).c_str(), nullptr);
}

int connectTo(Connection& c, const std::optional<std::string>& addressText, int port) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        debugPrintf("Uable to connect to IP/port %s:%d\r\n", addressText ? addressText->c_str() : "?.?.?.?", port);
        debugPrintf("Reason: %d\r\n", errno);
        return 1;
    }
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(20);
    if (!parseAddressText(c.ipAddress, local.sin_addr.s_addr)) {
        debugPrint("** Invallid IP address\r\n");
        return 1;
    }
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        debugPrint("Error binding to port 20\r\n");

    c.serverNumber = 0;
    c.port = port;
    c.ipAddress = addressText ? *addressText : "?.?.?.?";
    c.hostName = addressText ? *addressText : "unknown";
    sockaddr_in remote {};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    parseAddressText(addressText.value_or(""), remote.sin_addr.s_addr);
    // Bounded by the system's connection time-out (its SYN retries).
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        debugPrintf("Uable to connect to IP/port %s:%d\r\n", c.ipAddress.c_str(), port);
        debugPrintf("Reason: %d\r\n", errno);
        return 1;
    }
    debugPrintf("Connected to IP/port %s:%d\r\n", c.ipAddress.c_str(), port);
    c.sock = fd.release();
    return 0;
}

}  // namespace qv
