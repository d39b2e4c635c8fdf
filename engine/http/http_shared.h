// What the HTTP servers of one engine share: the page copies and the hit
// counts waiting to be written.  Made at the first use (see
// protocolState), gone with the engine.
#pragma once

#include "engine/core/engine.h"
#include "engine/http/hit_count_store.h"
#include "engine/http/page_cache.h"

namespace qv {

struct HttpShared {
    explicit HttpShared(Engine& engine) : counts(engine.options.runtimeFolder) {}
    PageCache pages;
    HitCountStore counts;
};

// The shared state of the engine that serves `c`; null for a connection
// without a server.
inline HttpShared* httpShared(Connection& c) {
    Server* server = c.server();
    return server ? &protocolState<HttpShared>(*server) : nullptr;
}

}  // namespace qv
