// The engine's public interface: create an engine on a settings folder and a
// runtime folder, start every configured server, pause and resume them, ask
// every engine on the runtime folder to reload its settings, and stop.
//
//   auto engine = qv::createEngine({});
//   qv::startServers(*engine);
//   ... qv::waitForShutdown(*engine, ...) or the host's own wait ...
//   qv::signalShutdown(*engine);
//   qv::stopServers(*engine);
//
// Diagnostic text goes through the sinks of engine/output.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

inline constexpr std::string_view kVersionText = "pro-1.50-r13";

class Connection;
struct Engine;

// A protocol handler serves one accepted connection on its own thread.  The
// engine registers the connection with its server before the handler runs,
// and unregisters it (closing the socket if the handler left it open) and
// destroys it after the handler returns.
using ProtocolHandler = void (*)(Connection& connection);

// Which global folder a server's `dir%d` defaults to.
enum class RootFolder { kWeb, kFtp, kGopher };

// What a paused server answers a new connection with.  Each text goes out
// on its own, in full, and the socket is closed; a protocol with no texts
// is closed at once.
struct PausedReply {
    // The client speaks first: its request is read (and dropped) before the
    // reply, and its listener accepts only once the client has sent.
    bool readsRequestFirst = false;
    std::string_view first;
    std::string_view second;
    bool pausedPageSecond = false;   // the second text is the engine's paused page and "\r\n"
};

// Everything the engine knows about one protocol.  The server table picks a
// row by the first character of a server's type text; adding a protocol is
// its own folder plus one row.
struct Protocol {
    uint32_t kind = 0;          // the serverKind of its servers and connections
    char typeLetter = 0;        // first character of the type text; 0 marks the row that takes any other text
    std::string_view name;      // in the start-up line ("#1 HTTP Host: ...")
    std::string_view scheme;    // link scheme on the status page
    int defaultPort = 0;
    RootFolder root = RootFolder::kWeb;
    PausedReply paused;
    ProtocolHandler serve = nullptr;  // null: the connection is registered, closed and unregistered
};

// The built-in protocols: HTTP, FTP, Gopher, talk relay and SMTP.
std::vector<Protocol> builtinProtocols();

// Starts `body` on a new thread that runs on its own; false when the system
// refused the thread (the connection is then answered as overloaded).
using ThreadStarter = bool (*)(std::function<void()>&& body);

struct EngineOptions {
    std::string settingsFolder;  // empty: $QUORVANE_ETC or /etc/quorvane
    std::string runtimeFolder;   // empty: $QUORVANE_RUN, /run/quorvane, $XDG_RUNTIME_DIR/quorvane or /tmp/quorvane-<uid>
    std::vector<Protocol> protocols;  // empty: builtinProtocols()
    ThreadStarter startThread = nullptr;  // empty: the engine's reusable connection threads
    // How long a gateway program may run before its client gets the
    // time-out reply (the program itself goes on).
    std::chrono::milliseconds programTimeout {180000};
    // How long an FTP transfer command waits for its data connection (the
    // client's connection to the passive port, or the connection out to the
    // client's PORT address) before "425 Can't open data connection.".
    std::chrono::milliseconds ftpDataTimeout {60000};
};

struct EngineDeleter {
    void operator()(Engine* engine) const;
};
using EnginePtr = std::unique_ptr<Engine, EngineDeleter>;

EnginePtr createEngine(EngineOptions options);

// Start-up: 0 when it ran to its end, whatever number of servers started.
int startServers(Engine& engine);
// Ends the engine's waits (reload thread, host waits).  Any thread; idempotent.
void signalShutdown(Engine& engine);
// True when shutdown was signalled within the time given.
bool waitForShutdown(Engine& engine, std::chrono::milliseconds timeout);
// Stops accepting, ends every connection, releases the shared table and the
// settings.  Always 0.  An engine destroyed while it runs is stopped first.
int stopServers(Engine& engine);

// Signals the reset event that every engine on the runtime folder (in any
// process) watches: each of them reloads its settings.
void signalReset(Engine& engine);

// While paused, every server answers new connections with its paused reply.
void setPaused(Engine& engine, bool paused);

// ---- For hosts that show the engine (the desktop program) ----

struct ConnectionCounts {
    int open = 0;   // connections being served now
    int peak = 0;   // the most served at once
    int total = 0;  // accepted since start-up
};
// Read without a lock; each count is current, the three together nearly so.
ConnectionCounts connectionCounts(const Engine& engine);

// The connection report, a line per open connection between a header and
// the counts; every line ends in CR LF.
std::string connectionReport(const Engine& engine);

// One entry of the host-name cache.
struct HostCacheRow {
    std::string address;  // dotted form
    std::string name;
    long ageSeconds = 0;  // since the entry was last used
    long hits = 0;
};
std::vector<HostCacheRow> hostCacheRows(const Engine& engine);

bool isPaused(const Engine& engine);
// What HTTP servers send to new clients while paused; cut to
// kMaxPausedPage characters.
std::string pausedPage(const Engine& engine);
void setPausedPage(Engine& engine, std::string_view page);
inline constexpr std::size_t kMaxPausedPage = 511;

// Diagnostic switches that last while the engine runs and are not saved:
// every request header line an HTTP server reads, every command line an
// FTP server reads.
void showRequestHeaders(Engine& engine, bool on);
void showFtpCommands(Engine& engine, bool on);

// The number setting `key` of [Options] in effect (ask_before_quit,
// minimize, view_connects, ...); nothing when there is no such setting.
std::optional<int> optionNumber(const Engine& engine, std::string_view key);

// Writes "1" or "0" under `key` in [Options] of the settings file and puts
// the value into effect at once, without a reload (for the switches
// debug_cgi, view_connects, view_commands, view_files, view_closing and
// the like).  0, or the errno of the failed write (nothing changes then);
// EINVAL for a key that is no number setting.
int setOptionSwitch(Engine& engine, std::string_view key, bool on);

// Rotates the request logs ("qvx", "qvxp", "error", "referer" and "agent",
// extension "log") in the global log folder.
void cycleLogFiles(Engine& engine);

// The settings file the engine reads ("quorvane.ini" in its settings
// folder).
const std::string& settingsFilePath(const Engine& engine);

// The runtime folder the engine uses for its shared objects.
const std::string& runtimeFolder(const Engine& engine);

// The port server n (1 to 32) listens on, as the system bound it; 0 when
// that server is not listening.
int serverPort(const Engine& engine, int number);

}  // namespace qv
