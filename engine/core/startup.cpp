// Engine start-up, reload and shutdown.
#include <chrono>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/config/passwords.h"
#include "engine/core/accept.h"
#include "engine/core/engine.h"
#include "engine/core/registry.h"
#include "engine/core/server_table.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/network_drive.h"
#include "engine/platform/runtime_dir.h"
#include "engine/quorvane.h"

namespace qv {

namespace {

constexpr int kMaxNetworkDrives = 20;

void restoreNetworkDrives(const Engine& engine) {
    statusPrint("Restoring network connections...");
    debugPrint("Restoring network connections...\r\n");
    ProfileFile ini(engine.iniPath);
    for (int n = 1; n <= kMaxNetworkDrives; ++n) {
        std::string remote = ini.getString("remote", "path" + std::to_string(n), "", 260);
        if (remote.empty()) break;
        urlUnescape(remote, false);
        auto words = splitWords(ini.getString("remote", "user" + std::to_string(n), "", 260));
        std::string user = words.empty() ? "guest" : words[0];
        std::string password = words.size() > 1 ? unscramblePassword(words[1]) : "";
        debugPrintf("Connection to '%s' as user %s\r\n", remote.c_str(), user.c_str());
        std::string reason;
        if (attachNetworkShare(remote, user, password, reason) == 0)
            debugPrint("Mapped OK.\r\n");
        else
            debugPrint("Error mounting '" + remote + "'\r\n  " + reason);
    }
}

// Every connection holds a descriptor (two for a gateway program or an
// FTP transfer): the usual soft limit of 1,024 is about the size of the
// connection limit, so it is raised to the hard limit.
void raiseDescriptorLimit() {
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        debugPrint("** Error raising the descriptor limit\r\n  " + systemErrorText());
}

void reloadSettings(Engine& engine) {
    // The new snapshot is built before it replaces the old one, so a
    // connection thread never sees the tables empty or half read.
    debugPrint("Freeing old INI information...\r\n");
    auto next = readSettings(engine.iniPath);
    // A file that has gone (or cannot be read) would drop every alias and
    // user at once: what was read before stays.
    if (!next->fromFile && engine.settings.get()->fromFile) {
        debugPrint("*** Error! The settings file '" + engine.iniPath +
                   "' cannot be read; the settings stay as they were.\r\n");
        return;
    }
    engine.settings.publish(std::move(next));
}

void threadWaitForReset(Engine& engine) {
    while (engine.resetEvent->wait(engine.shutdown.signalled)) {
        debugPrint("\r\nReloading settings...\r\n");
        reloadSettings(engine);
        engine.resetEvent->reset();
    }
    debugPrint("Goodby from threadWaitForReset\r\n");
}

// Opens the listening socket of server n from its table entry and fills its
// record; true when it listens.  Its accept thread starts later, once the
// whole table is in place.
bool openServer(Engine& engine, const ServerEntry& entry, const Settings& settings) {
    debugPrintf("#%d %s Host: %s   IP: %s  Port: %s  Dir: %s\r\n", entry.number,
                std::string(entry.protocol->name).c_str(), entry.host.c_str(), entry.ip.c_str(),
                entry.portText.c_str(), entry.dir.c_str());
    if (entry.virtualAlias.size() > kVirtualAliasSize) {
        // A cut alias would serve a different part of the site than the one
        // configured, so the server is not started at all.
        debugPrintf("*** Error! virtual_alias%d is longer than %zu characters; the server is not started.\r\n",
                    entry.number, kVirtualAliasSize);
        return false;
    }
    // A server that fails to listen keeps its place in the table, so the
    // status page can show it as down.
    auto& server = engine.servers[entry.number - 1];
    server = std::make_unique<Server>(engine, entry.number);
    server->protocol = entry.protocol;
    server->serverKind = entry.protocol->kind;
    std::optional<int> port = portNumber(entry.portText);
    if (!port) {
        // Read as a number, such a text would listen on a port nobody chose.
        debugPrintf("*** Error! port%d=%s is not a port number; the server is not started.\r\n", entry.number,
                    entry.portText.c_str());
        return false;
    }
    if (startListening(*server, *port, entry.number, entry.ip, entry.host, settings) != 0) return false;
    server->docDir = entry.dir;
    server->logDir = entry.logDir;
    server->virtualAlias = entry.virtualAlias;
    loadTotals(*server);
    server->stopFlag = false;
    return true;
}

// Connection threads read the server table, its count and every server's
// record (the status page lists them all), so all of it is written before
// the first accept thread starts.
void startConfiguredServers(Engine& engine) {
    auto settings = engine.settings.get();
    for (const ServerEntry& entry :
         readServerTable(ProfileFile(engine.iniPath), *settings, engine.options.protocols)) {
        if (openServer(engine, entry, *settings))
            engine.serversStarted++;
        else
            engine.serversFailed++;
        engine.serverCount++;
    }
    for (auto& server : engine.servers)
        if (server && server->sock >= 0) startServerThread(*server);
}

void stopAcceptThreads(Engine& engine) {
    for (auto& server : engine.servers) {
        if (!server || server->sock < 0) continue;
        stopAccepting(*server);
    }
}

}  // namespace

Engine::Engine(EngineOptions opts) : options(std::move(opts)) {
    if (options.settingsFolder.empty()) options.settingsFolder = defaultSettingsFolder();
    if (options.runtimeFolder.empty()) options.runtimeFolder = defaultRuntimeFolder();
    iniPath = settingsFilePath(options.settingsFolder);
}

void EngineDeleter::operator()(Engine* engine) const {
    // An engine that still runs has threads that use it: end them first.
    if (engine && engine->started && !engine->stopped) stopServers(*engine);
    delete engine;
}

Server* serverAt(const Engine& engine, int number) {
    if (number < 1 || number > kMaxServers) return nullptr;
    return engine.servers[number - 1].get();
}

const std::string& runtimeFolder(const Engine& engine) { return engine.options.runtimeFolder; }

int serverPort(const Engine& engine, int number) {
    Server* s = serverAt(engine, number);
    return s && s->sock >= 0 ? s->port : 0;
}

int startServers(Engine& engine) {
    statusPrint("Quorvane Pro starting up...");
    debugPrint("Quorvane Pro " + std::string(kVersionText) + " for Linux\r\nQuorvane Pro starting up...\r\n");
    restoreNetworkDrives(engine);

    engine.started = true;
    raiseDescriptorLimit();
    const std::string& run = engine.options.runtimeFolder;
    if (int err = ensureFolder(run, 0770))
        debugPrint("** Error creating runtime folder '" + run + "'\r\n  " + systemErrorText(err));
    engine.cgiMutex = std::make_unique<NamedMutex>(run, "QVX_CGI_MUTEX");
    engine.countMutex = std::make_unique<NamedMutex>(run, "QVX_COUNT_MUTEX");
    engine.logMutex = std::make_unique<NamedMutex>(run, "QVX_LOG_MUTEX");
    engine.dnsMutex = std::make_unique<NamedMutex>(run, "QVX_DNS_MUTEX");
    engine.hostNames = std::make_unique<HostNameCache>(*engine.dnsMutex);
    {
        // A shutdown signal may arrive from another thread at any time.
        std::lock_guard lock(engine.shutdown.mutex);
        engine.resetEvent = std::make_unique<NamedEvent>(run, "QVX_RESET_MUTEX");
    }
    if (!engine.resetEvent->valid()) debugPrint("** Error creating object 'reset event object'\r\n");
    try {
        engine.resetThread = std::thread([&engine] { threadWaitForReset(engine); });
    } catch (const std::system_error&) {
        debugPrint("** Error creating object 'reset thread'!\r\n");
    }

    engine.socketInfo.create(run);
    {
        // Another engine on this folder may be serving: only the records of
        // engines that are gone are cleared.
        std::lock_guard lock(*engine.countMutex);
        engine.socketInfo.clearAbandoned();
    }
    engine.settings.publish(readSettings(engine.iniPath));
    engine.startTime = static_cast<int64_t>(std::time(nullptr));

    debugPrint("Sockets started up\r\n");
    debugPrint("Starting up servers...\r\n");
    startConfiguredServers(engine);
    debugPrintf("\r\n----\r\n%d servers started up OK.\r\n", engine.serversStarted);
    if (engine.serversFailed > 0) debugPrintf("\r\n****\r\n%d servers did not start up!\r\n", engine.serversFailed);
    return 0;
}

void signalShutdown(Engine& engine) {
    {
        std::lock_guard lock(engine.shutdown.mutex);
        engine.shutdown.signalled = true;
        if (engine.resetEvent) engine.resetEvent->wakeWaiters();
    }
    engine.shutdown.cv.notify_all();
}

bool waitForShutdown(Engine& engine, std::chrono::milliseconds timeout) {
    std::unique_lock lock(engine.shutdown.mutex);
    return engine.shutdown.cv.wait_for(lock, timeout, [&] { return engine.shutdown.signalled.load(); });
}

int stopServers(Engine& engine) {
    if (engine.stopped) return 0;
    engine.stopped = true;
    signalShutdown(engine);
    if (engine.resetThread.joinable()) engine.resetThread.join();
    stopAcceptThreads(engine);
    endLiveConnections(engine);
    engine.socketInfo.release();
    engine.settings.release();
    return 0;
}

void signalReset(Engine& engine) {
    {
        // The engine's own event appears while it starts; a signal thread
        // may ask at any moment.
        std::lock_guard lock(engine.shutdown.mutex);
        if (engine.resetEvent) {
            engine.resetEvent->signal();
            return;
        }
    }
    NamedEvent(engine.options.runtimeFolder, "QVX_RESET_MUTEX").signal();
}

void setPaused(Engine& engine, bool paused) { engine.paused = paused; }

}  // namespace qv
