// A Gopher connection: one request line, read within gopher_read_timeout,
// mapped through the alias table without user or client address, answered
// with a file or a menu, and one log record.  Nothing is ever sent for a
// request that cannot be served: Gopher has no error reply a client could
// tell from content, so the connection just closes.
#include <chrono>
#include <ctime>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/config/access.h"
#include "engine/config/file_types.h"
#include "engine/config/path_mapping.h"
#include "engine/core/engine.h"
#include "engine/core/io.h"
#include "engine/core/server_table.h"
#include "engine/core/socket_info.h"
#include "engine/gopher/gopher.h"
#include "engine/gopher/gopher_menu.h"
#include "engine/log/request_log.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/clock.h"
#include "engine/platform/runtime_dir.h"

namespace qv {

namespace {

constexpr std::size_t kRequestLength = 511;
// A longer line is read no further than this: its selector is refused
// anyway, and reading on would let a peer keep the thread busy.
constexpr std::size_t kRequestBudget = 2048;
constexpr std::size_t kDescriptionSize = kDescriptionLength + 1;

struct GopherExchange {
    Connection& c;
    Server& server;
    const Settings& settings;
    LoggedRequest& record;
};

// The request line, or nothing when none came in time or it was too long.
std::optional<std::string> readRequest(Connection& c, const Settings& s) {
    std::string line;
    std::size_t budget = kRequestBudget;
    bool cut = false;
    auto deadline = steadyNow() + std::chrono::seconds(s.gopher_read_timeout);
    LineRead read = readLineBefore(c, line, kRequestLength, budget, deadline, cut);
    if (read == LineRead::kOverBudget || (read == LineRead::kRead && cut)) {
        debugPrint("Gopher request line too long\r\n");
        return std::nullopt;
    }
    if (read != LineRead::kRead) return std::nullopt;
    return line;
}

// The host that menu lines name.  A configured name is one clients
// resolve; the system's own name often is not (a laptop's, a container's),
// so without one the menus name the address the client reached us at.
std::string menuHost(const Connection& c, const Server& server) {
    if (server.hostNameConfigured) return c.hostName;
    sockaddr_in local {};
    socklen_t len = sizeof local;
    if (getsockname(c.sock, reinterpret_cast<sockaddr*>(&local), &len) != 0) return c.hostName;
    return dottedAddress(local.sin_addr.s_addr);
}

void sendMenu(GopherExchange& x, const std::string& path, const std::string& folder) {
    setSocketActivity(x.c.socketInfo, path);
    auto entries = readFolderEntries(folder);
    if (!entries || entries->empty()) {
        debugPrint(concat({"No files found in dir '", path, "'\r\n"}));
        return;
    }
    debugPrintf("There were %d entries read.\r\n", static_cast<int>(entries->size()));
    const std::string host = menuHost(x.c, x.server);
    const MenuFolder menu {path, host, x.c.port};
    // Most folders have no access file: look for it once, not per entry.
    const bool described = access(joinPath(folder, "access.qac").c_str(), F_OK) == 0;
    for (const FolderEntry& e : *entries) {
        std::optional<std::string> description;
        if (described) description = readAccessFile(joinPath(folder, e.name), "Description", e.name, kDescriptionSize);
        if (sendString(x.c, menuLine(x.settings, menu, e, description)) != 0) return;
    }
    sendString(x.c, kMenuEnd);
}

void sendItem(GopherExchange& x, const AliasEntry* alias, const std::string& local,
              const std::optional<FileStamp>& stamp) {
    // The alias table is shared with HTTP, which runs these; their source
    // is not for handing out.
    if (programKind(alias, local) != ProgramKind::kNone) {
        debugPrint(concat({"Gopher: program files are not sent: '", local, "'\r\n"}));
        return;
    }
    // A folder, an empty file or anything but a regular file (a FIFO would
    // block the open) has no stamp or size 0.
    if (!stamp || stamp->size == 0) return;
    sendFile(x.c, local);
}

void serveRequest(GopherExchange& x, const std::string& line) {
    GopherRequest request = parseGopherRequest(line);
    // The root is "/" of this server's own folder: the empty path would map
    // to the global gopherdir, foreign to a second Gopher server.
    std::string path = request.path.empty() ? std::string("/") : request.path;
    MappingContext context;
    context.root = x.server.docDir;
    context.ownAddress = x.server.listenAddress;
    std::string local;
    const AliasEntry* alias = nullptr;
    std::optional<FileStamp> stamp;
    int mapped = aliasToDosDir(x.settings, path, local, alias, context, &stamp);
    if (mapped != kMapped) {
        debugPrintf("Gopher selector refused (%d)\r\n", mapped);
        return;
    }
    x.record.url = request.path;
    x.record.counterKey = local;
    if (request.type == kMenuType)
        sendMenu(x, path, local);
    else
        sendItem(x, alias, local, stamp);
}

}  // namespace

void serveGopher(Connection& c) {
    Server& server = *c.server();
    const std::shared_ptr<const Settings> settings = server.engine.settings.get();
    debugPrint("Hello from GopherD\r\n");
    LoggedRequest record;
    record.start = std::time(nullptr);
    record.status = 200;
    setSocketUser(c.socketInfo, "gopher");
    GopherExchange x {c, server, *settings, record};
    if (std::optional<std::string> line = readRequest(c, *settings)) {
        debugPrint(concat({"Gopher command was:\r\n'", *line, "'\r\n"}));
        record.method = *line;
        serveRequest(x, *line);
    }
    closeConnection(c);
    record.bytes = static_cast<int64_t>(c.bytesSent);
    logRequest(c, *settings, record);
}

}  // namespace qv
