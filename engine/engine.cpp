// The engine with its built-in protocols: the one table that describes them.
#include "engine/core/engine.h"
#include "engine/ftp/ftp.h"
#include "engine/gopher/gopher.h"
#include "engine/http/http_session.h"
#include "engine/quorvane.h"
#include "engine/smtp/smtp.h"
#include "engine/talk/talk.h"

namespace qv {

namespace {

// Server kinds as SocketInfoList records and gateway variables show them;
// 5 was never used.
constexpr uint32_t kKindHttp = 1;
constexpr uint32_t kKindFtp = 2;
constexpr uint32_t kKindGopher = 3;
constexpr uint32_t kKindTalk = 4;
constexpr uint32_t kKindSmtp = 6;

constexpr PausedReply kHttpPaused {true, "HTTP/1.0 502 Service temporarily overloaded / Maintenance\r\n\r\n", "", true};
constexpr PausedReply kGopherPaused {true, "--1\r\n1 Service temporarily paused!\r\n", ".\r\n", false};
// An FTP client waits for the greeting, so nothing is read first.
constexpr PausedReply kFtpPaused {false, "500-Service temporarily paused!\r\n", "500 Service temporarily paused!\r\n",
                                  false};
// Talk and SMTP clients wait for a greeting and send nothing first, so there
// is no request to read: the socket is closed at once.
constexpr PausedReply kClosedAtOnce {};

}  // namespace

// SMTP has no classic default port of its own; 25 is the one every mail
// client expects.
std::vector<Protocol> builtinProtocols() {
    return {
        {kKindGopher, 'g', "GOPHER", "gopher", 70, RootFolder::kGopher, kGopherPaused, serveGopher},
        {kKindFtp, 'f', "FTP", "ftp", 21, RootFolder::kFtp, kFtpPaused, serveFtp},
        {kKindTalk, 't', "TEST", "UNKNOWN", 8000, RootFolder::kWeb, kClosedAtOnce, serveTalk},
        {kKindSmtp, 'm', "SMTP", "UNKNOWN", 25, RootFolder::kWeb, kClosedAtOnce, serveSmtp},
        {kKindHttp, 0, "HTTP", "http", 80, RootFolder::kWeb, kHttpPaused, serveHttp},
    };
}

EnginePtr createEngine(EngineOptions options) {
    if (options.protocols.empty()) options.protocols = builtinProtocols();
    return EnginePtr(new Engine(std::move(options)));
}

}  // namespace qv
