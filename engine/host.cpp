// What a host that shows the engine may read and switch (see quorvane.h).
#include <arpa/inet.h>
#include <ctime>
#include <mutex>

#include "engine/core/engine.h"
#include "engine/core/socket_info.h"
#include "engine/log/request_log.h"
#include "engine/platform/profile.h"

namespace qv {

ConnectionCounts connectionCounts(const Engine& engine) {
    return {engine.openConnections.load(), engine.peakConnections.load(), engine.totalConnections.load()};
}

std::string connectionReport(const Engine& engine) { return socketInfoReport(engine); }

std::vector<HostCacheRow> hostCacheRows(const Engine& engine) {
    std::vector<HostCacheRow> rows;
    if (!engine.hostNames) return rows;
    const long now = static_cast<long>(std::time(nullptr));
    for (int n = 0; n < HostNameCache::kEntries; ++n) {
        HostNameCache::Entry e;
        if (!engine.hostNames->readEntry(n, e)) continue;
        char address[INET_ADDRSTRLEN] = {};
        in_addr a {e.address};
        inet_ntop(AF_INET, &a, address, sizeof address);
        rows.push_back({address, e.name, now - e.lastUse, e.hits});
    }
    return rows;
}

const std::string& settingsFilePath(const Engine& engine) { return engine.iniPath; }

bool isPaused(const Engine& engine) { return engine.paused; }

std::string pausedPage(const Engine& engine) {
    std::lock_guard lock(engine.pausedPageMutex);
    return engine.pausedPage;
}

void setPausedPage(Engine& engine, std::string_view page) {
    std::lock_guard lock(engine.pausedPageMutex);
    engine.pausedPage = page.substr(0, kMaxPausedPage);
}

void showRequestHeaders(Engine& engine, bool on) { engine.showRequestHeaders = on; }

void showFtpCommands(Engine& engine, bool on) { engine.showFtpCommands = on; }

std::optional<int> optionNumber(const Engine& engine, std::string_view key) {
    return numberSetting(*engine.settings.get(), "Options", key);
}

int setOptionSwitch(Engine& engine, std::string_view key, bool on) {
    auto next = std::make_shared<Settings>(*engine.settings.get());
    if (!setNumberSetting(*next, "Options", key, on ? 1 : 0)) return EINVAL;
    const int err = ProfileFile(engine.iniPath).writeString("Options", key, on ? "1" : "0");
    if (err != 0) return err;
    engine.settings.publish(std::move(next));
    return 0;
}

void cycleLogFiles(Engine& engine) {
    const std::string folder = engine.settings.get()->logdir;
    for (const char* base : {"qvx", "qvxp", "error", "referer", "agent"}) CycleLogs(engine, folder, base, "log");
}

}  // namespace qv
