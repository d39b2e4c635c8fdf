// The state of one running engine: its folders, named objects, settings
// snapshot, server table, connection registry and live connection threads.
// One host normally runs one engine; tests run several side by side, each on
// its own runtime folder.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "engine/config/settings.h"
#include "engine/core/append_files.h"
#include "engine/core/connection.h"
#include "engine/core/socket_info.h"
#include "engine/core/thread_cache.h"
#include "engine/log/host_cache.h"
#include "engine/platform/named_event.h"
#include "engine/platform/named_mutex.h"
#include "engine/quorvane.h"

namespace qv {

constexpr int kMaxServers = 32;

// The engine's shutdown event: manual reset, set once.
struct ShutdownEvent {
    std::atomic<bool> signalled{false};
    std::mutex mutex;
    std::condition_variable cv;
};

// Connection threads that are running, so that stopServers can end their
// sockets and wait for them.  A socket of a live connection is closed only
// under `mutex`, so stop never shuts down a descriptor number that was
// closed and reused meanwhile.
struct LiveConnections {
    std::mutex mutex;
    std::condition_variable cv;
    std::unordered_set<Connection*> set;
};

struct Engine {
    explicit Engine(EngineOptions opts);

    EngineOptions options;  // options.protocols is the protocol table
    std::string iniPath;
    bool started = false;   // startServers ran
    bool stopped = false;   // stopServers ran

    std::unique_ptr<NamedMutex> cgiMutex;
    std::unique_ptr<NamedMutex> countMutex;
    std::unique_ptr<NamedMutex> logMutex;
    std::unique_ptr<NamedMutex> dnsMutex;
    std::unique_ptr<NamedEvent> resetEvent;
    AppendFiles logFiles;  // the request logs of every server, kept open
    std::unique_ptr<HostNameCache> hostNames;
    ShutdownEvent shutdown;
    std::thread resetThread;

    SocketInfoList socketInfo;
    SettingsHolder settings;
    std::atomic<int64_t> startTime{0};

    std::array<std::unique_ptr<Server>, kMaxServers> servers;
    int serverCount = 0;
    int serversStarted = 0;
    int serversFailed = 0;

    // Engine-wide counts, every server's connection list and the record
    // cursor belong to this process: guarded by registryMutex, no
    // cross-process lock (countMutex guards only what engines share: record
    // 0's holders and the clearing of records left by engines that died).
    // The counts are atomics so the status report may read them without it.
    std::mutex registryMutex;
    std::atomic<int> openConnections{0};
    std::atomic<int> peakConnections{0};
    std::atomic<int> totalConnections{0};
    int slotCursor = 0;

    std::atomic<bool> paused{false};
    std::atomic<bool> showRequestHeaders{false};  // print every header line HTTP servers read
    std::atomic<bool> showFtpCommands{false};     // print every command line FTP servers read
    mutable std::mutex pausedPageMutex;
    std::string pausedPage =
        "<h1>Server Paused</h1>\r\nSorry, the server is temporarily paused for maintenance.  Please try again in a "
        "few minutes.";

    LiveConnections live;
    ThreadCache connectionThreads;

    // What a protocol keeps for the whole engine (the talk relay's user
    // table), made by the protocol at its first connection.
    std::mutex protocolStateMutex;
    std::unordered_map<const Protocol*, std::shared_ptr<void>> protocolState;
};

// The engine-wide state of the protocol that serves `server`, made on first
// use.
template <typename State>
State& protocolState(Server& server) {
    Engine& engine = server.engine;
    std::lock_guard lock(engine.protocolStateMutex);
    auto& state = engine.protocolState[server.protocol];
    if (!state) state = std::make_shared<State>(engine);
    return *static_cast<State*>(state.get());
}

// Server n (1 to 32), or null when that entry was never filled.
Server* serverAt(const Engine& engine, int number);

}  // namespace qv
