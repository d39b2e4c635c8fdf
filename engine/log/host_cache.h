// Host names of client addresses, found by reverse lookup and kept in a
// cache of twenty entries with least-recently-used replacement.  Failed
// lookups are cached too (empty name) so an address is not asked again
// while its entry lives.  Lookups block, so they run outside the mutex.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "engine/platform/named_mutex.h"

namespace qv {

class HostNameCache {
public:
    static constexpr int kEntries = 20;
    static constexpr std::size_t kNameSize = 64;  // 63 characters and the end

    // The reverse lookup: true and the name when the address has one.  The
    // address is in network byte order, as in a socket address.
    using Resolver = bool (*)(uint32_t address, std::string& name);

    explicit HostNameCache(NamedMutex& mutex, Resolver resolver = nullptr);

    // The host name of the address, or false when it has none.
    bool lookup(uint32_t address, bool useCache, std::string& name);

    struct Entry {
        uint32_t address = 0;
        char name[kNameSize] = {};
        int32_t hits = 0;
        int32_t lastUse = 0;
    };

    // For the desktop program's "DNS Cache" window and commands.
    // Empties the cache (the totals stay); 1.
    int clear();
    // Entry n (from 0) as it is now; false when n is not in use.
    bool readEntry(int n, Entry& entry);
    // The printed report, a text per line:
    //   "\r\n      ---.-IP.---.--- Hostname    Time  HitCount\r\n", then per
    //   entry "%3d)  %-16.16s %-32.32s  %ld  %ld\r\n" (index, address, name,
    //   seconds since last use, hits), then, after any hit,
    //   "-- DNS Cache Hits = %ld   Misses = %ld  HitRate = %f\r\n\r\n";
    //   for an empty cache "\r\nThere are no entries in the DNS cache yet.\r\n".
    std::vector<std::string> reportLines(std::time_t now);

private:
    bool findCached(uint32_t address, std::string& name, bool& found);
    void add(uint32_t address, const std::string& name);

    NamedMutex& mutex_;
    Resolver resolver_;
    std::array<Entry, kEntries> entries_ {};
    int count_ = 0;
    int32_t totalHits_ = 0;
    int32_t totalMisses_ = 0;
};

// The system's reverse lookup (getnameinfo with a required name).
bool reverseLookup(uint32_t address, std::string& name);

}  // namespace qv
