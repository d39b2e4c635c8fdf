// Host names of client addresses, found by reverse lookup and kept in a
// cache of twenty entries with least-recently-used replacement.  Failed
// lookups are cached too (empty name) so an address is not asked again
// while its entry lives.  Lookups block, so they run outside the mutex.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>

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
