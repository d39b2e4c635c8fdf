#include "engine/log/host_cache.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>

namespace qv {

bool reverseLookup(uint32_t address, std::string& name) {
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
        return false;
    name = host;
    return true;
}

HostNameCache::HostNameCache(NamedMutex& mutex, Resolver resolver)
    : mutex_(mutex), resolver_(resolver ? resolver : reverseLookup) {}

bool HostNameCache::findCached(uint32_t address, std::string& name, bool& found) {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < count_; ++i) {
        Entry& e = entries_[i];
        if (e.address != address) continue;
        e.hits++;
        e.lastUse = static_cast<int32_t>(std::time(nullptr));
        totalHits_++;
        found = true;
        if (!e.name[0]) return false;
        name = e.name;
        return true;
    }
    totalMisses_++;
    found = false;
    return false;
}

void HostNameCache::add(uint32_t address, const std::string& name) {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < count_; ++i)
        if (entries_[i].address == address) return;  // another thread added it meanwhile
    int slot = 0;
    if (count_ < kEntries) {
        slot = count_++;
    } else {
        for (int i = 1; i < kEntries; ++i)
            if (entries_[i].lastUse < entries_[slot].lastUse) slot = i;
    }
    Entry& e = entries_[slot];
    e.address = address;
    std::size_t n = std::min(name.size(), kNameSize - 1);
    std::memcpy(e.name, name.data(), n);
    e.name[n] = '\0';
    e.lastUse = static_cast<int32_t>(std::time(nullptr));
    // A new entry starts its own count; it does not inherit the count of
    // whatever entry held the place before.
    e.hits = 1;
}

int HostNameCache::clear() {
    std::lock_guard lock(mutex_);
    count_ = 0;
    return 1;
}

bool HostNameCache::readEntry(int n, Entry& entry) {
    std::lock_guard lock(mutex_);
    if (n < 0 || n >= count_) return false;
    entry = entries_[n];
    return true;
}

std::vector<std::string> HostNameCache::reportLines(std::time_t now) {
    std::lock_guard lock(mutex_);
    if (count_ == 0) return {"\r\nThere are no entries in the DNS cache yet.\r\n"};
    std::vector<std::string> lines {"\r\n      ---.-IP.---.--- Hostname    Time  HitCount\r\n"};
    char line[160];
    for (int i = 0; i < count_; ++i) {
        const Entry& e = entries_[i];
        char dotted[INET_ADDRSTRLEN] = "";
        in_addr a {e.address};
        inet_ntop(AF_INET, &a, dotted, sizeof dotted);
        std::snprintf(line, sizeof line, "%3d)  %-16.16s %-32.32s  %ld  %ld\r\n", i, dotted, e.name,
                      static_cast<long>(now - e.lastUse), static_cast<long>(e.hits));
        lines.emplace_back(line);
    }
    if (totalHits_ > 0) {
        std::snprintf(line, sizeof line, "-- DNS Cache Hits = %ld   Misses = %ld  HitRate = %f\r\n\r\n",
                      static_cast<long>(totalHits_), static_cast<long>(totalMisses_),
                      static_cast<double>(totalHits_) / (static_cast<double>(totalHits_) + totalMisses_));
        lines.emplace_back(line);
    }
    return lines;
}

bool HostNameCache::lookup(uint32_t address, bool useCache, std::string& name) {
    if (useCache) {
        bool found = false;
        if (findCached(address, name, found)) return true;
        if (found) return false;
    }
    std::string resolved;
    bool ok = resolver_(address, resolved);
    if (useCache) add(address, ok ? resolved : std::string());
    if (ok) name = resolved;
    return ok;
}

}  // namespace qv
