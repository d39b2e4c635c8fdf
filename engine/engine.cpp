// The engine with its built-in protocols.
#include "engine/core/engine.h"
#include "engine/http/http_session.h"
#include "engine/quorvane.h"
#include "engine/talk/talk.h"

namespace qv {

namespace {

// Protocol handlers by server kind.  A kind whose handler is still null is
// served by the core's fallback, which registers, closes and unregisters
// each connection: HTTP, FTP, Gopher, talk and SMTP each fill their entry
// here as they are built.
ProtocolHandlers builtinHandlers() {
    ProtocolHandlers table;
    table.byKind[kKindHttp] = serveHttp;
    table.byKind[kKindTalk] = serveTalk;
    return table;
}

}  // namespace

EnginePtr createEngine(EngineOptions options) {
    if (!options.handlers) options.handlers = builtinHandlers();
    return EnginePtr(new Engine(std::move(options)));
}

}  // namespace qv
