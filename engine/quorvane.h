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
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

inline constexpr std::string_view kVersionText = "pro-1.50-r13";

class Connection;
struct Engine;

// A protocol handler serves one accepted connection on its own thread: it
// registers the connection with its server first and unregisters it last.
// The engine destroys the connection after the handler returns.
using ProtocolHandler = void (*)(Connection& connection);

// Handlers by server kind (1 HTTP, 2 FTP, 3 Gopher, 4 talk, 6 SMTP).
struct ProtocolHandlers {
    ProtocolHandler byKind[7] = {};
};

// Starts `body` on a new thread that runs on its own; false when the system
// refused the thread (the connection is then answered as overloaded).
using ThreadStarter = bool (*)(std::function<void()>&& body);

struct EngineOptions {
    std::string settingsFolder;  // empty: $QUORVANE_ETC or /etc/quorvane
    std::string runtimeFolder;   // empty: $QUORVANE_RUN, $XDG_RUNTIME_DIR/quorvane or /tmp/quorvane-<uid>
    std::optional<ProtocolHandlers> handlers;  // empty: the built-in protocols
    ThreadStarter startThread = nullptr;       // empty: the engine's reusable connection threads
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
// settings.  Call once, after signalShutdown.  Always 0.
int stopServers(Engine& engine);

// Signals the reset event that every engine on the runtime folder (in any
// process) watches: each of them reloads its settings.
void signalReset(Engine& engine);

// While paused, every server answers new connections with its paused reply.
void setPaused(Engine& engine, bool paused);

// The runtime folder the engine uses for its shared objects.
const std::string& runtimeFolder(const Engine& engine);

// The port server n (1 to 32) listens on, as the system bound it; 0 when
// that server is not listening.
int serverPort(const Engine& engine, int number);

}  // namespace qv
