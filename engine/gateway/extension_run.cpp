#include "engine/gateway/extension_run.h"

#include <cerrno>
#include <cstring>

#include "engine/config/path_mapping.h"
#include "engine/core/io.h"
#include "engine/extension.h"
#include "engine/gateway/path_info.h"
#include "engine/gateway/program_output.h"
#include "engine/gateway/program_reply.h"
#include "engine/http/response.h"
#include "engine/http/template.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/fault_guard.h"
#include "engine/platform/runtime_dir.h"
#include "engine/platform/shared_library.h"

namespace qv {

namespace {

using VersionProc = BOOL (*)(HSE_VERSION_INFO*);
using ExtensionProc = DWORD (*)(EXTENSION_CONTROL_BLOCK*);

// A reply up to this size is held back until the extension returns, so
// that its length can be announced and the connection kept alive.
constexpr std::size_t kHeldReply = 64 * 1024;

// What the callbacks reach through ConnID.
struct ExtensionCall {
    explicit ExtensionCall(ProgramSink& s) : sink(s) {}
    ProgramSink& sink;
    VarList vars;
    bool headed = false;      // the extension asked for the response header
    std::string status;       // its status ("200 OK")
    std::string headerLines;  // its own header lines, each ending in CR LF
    std::string held;         // the body so far, while it is held back
    bool streaming = false;   // the reply goes out as it is written
    bool wrote = false;       // something of a reply was given
};

ExtensionCall& callOf(HCONN conn) { return *static_cast<ExtensionCall*>(conn); }

// The response header with the extension's status and lines; with a
// length above 0 (and no length of the extension's own) the connection may
// stay open.
std::string headerText(ExtensionCall& x, int64_t length) {
    const std::string own = lowerCase(x.headerLines);
    if (own.find("content-length:") != std::string::npos) length = 0;
    std::string text = responseHeader(x.sink.r, x.status, length);
    text.resize(text.size() - 2);  // the empty line goes after the extension's lines
    // A type of the extension's own replaces the server's: a client reads
    // the first one it finds.
    std::size_t type = text.find("\r\nContent-Type: ");
    if (own.starts_with("content-type:") || own.find("\ncontent-type:") != std::string::npos)
        text.erase(type + 2, text.find("\r\n", type + 2) - type);
    return text + x.headerLines + "\r\n";
}

void startStreaming(ExtensionCall& x) {
    x.streaming = true;
    if (!x.headed) return;
    x.sink.write(headerText(x, 0));
    x.sink.write(x.held);
    x.held.clear();
}

BOOL getServerVariable(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size) {
    if (!size) {
        errno = EINVAL;
        return FALSE;
    }
    std::string_view value = name ? callOf(conn).vars.value(name).value_or("") : std::string_view();
    const DWORD needed = static_cast<DWORD>(value.size() + 1);
    if (!buffer || *size < needed) {
        *size = needed;  // what to allocate before asking again
        errno = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    std::memcpy(buffer, value.data(), value.size());
    static_cast<char*>(buffer)[value.size()] = '\0';
    *size = needed;
    return TRUE;
}

BOOL writeClient(HCONN conn, LPVOID data, LPDWORD size, DWORD) {
    if (!size || (!data && *size)) return FALSE;
    ExtensionCall& x = callOf(conn);
    std::string_view bytes(static_cast<const char*>(data), *size);
    x.wrote = true;
    if (x.sink.call.page || x.streaming || !x.headed) {
        x.streaming = !x.sink.call.page;  // a reply without our header cannot be measured
        return x.sink.write(bytes) ? TRUE : FALSE;
    }
    x.held.append(bytes);
    if (x.held.size() > kHeldReply) startStreaming(x);
    return TRUE;
}

BOOL readClient(HCONN, LPVOID, LPDWORD size) {
    debugPrint("zReadClient\r\n");
    if (size) *size = 0;  // the whole body was in lpbData
    return TRUE;
}

void sendResponseHeader(ExtensionCall& x, LPVOID status, LPDWORD size, LPDWORD lines) {
    if (!x.sink.call.sendHeader || x.sink.call.page || x.headed) return;
    std::string_view text = status ? std::string_view(static_cast<const char*>(status)) : std::string_view();
    x.status = std::string(text.substr(0, std::min(text.find_first_of("\r\n"), kReplyStatusLength)));
    if (x.status.empty()) x.status = "200 OK";
    if (size && *size != 0 && lines) {
        std::string_view own(reinterpret_cast<const char*>(lines));
        while (!own.empty() && (own.back() == '\r' || own.back() == '\n')) own.remove_suffix(1);
        if (!own.empty()) x.headerLines = std::string(own) + "\r\n";
    }
    x.headed = true;
    x.wrote = true;
    x.sink.r.status = replyStatusCode(x.status);
    if (x.streaming) x.sink.write(headerText(x, 0));
}

BOOL serverSupportFunction(HCONN conn, DWORD request, LPVOID buffer, LPDWORD size, LPDWORD dataType) {
    if (request == HSE_REQ_SEND_RESPONSE_HEADER)
        sendResponseHeader(callOf(conn), buffer, size, dataType);
    else
        debugPrintf("Unknown ISAPI ServerSupportFunction (%ld) requested.\r\n", static_cast<long>(request));
    return TRUE;
}

// The variables GetServerVariable finds.
void addServerVariables(ExtensionCall& x, const std::string& translated) {
    const HttpRequest& r = x.sink.r;
    addPageVariables(x.vars, x.sink.c, r);
    x.vars.add("query_string", r.query.value_or(""));
    x.vars.add("GATEWAY_INTERFACE", "CGI/1.1");
    if (!r.user.empty()) {
        x.vars.add("auth_type", "Basic");
        x.vars.add("remote_user", r.user);
        x.vars.add("auth_pass", r.password);
    }
    x.vars.add("PATH_INFO", r.pathInfo.value_or(""));
    x.vars.add("PATH_TRANSLATED", translated);
}

// The texts the control block points to; they live as long as the call.
struct BlockTexts {
    std::string method, query, pathInfo, translated, contentType;
};

void fillBlock(EXTENSION_CONTROL_BLOCK& b, ExtensionCall& x, BlockTexts& t) {
    HttpRequest& r = x.sink.r;
    b.cbSize = sizeof b;
    b.dwVersion = 1;
    b.ConnID = &x;
    b.dwHttpStatusCode = 200;
    b.lpszMethod = t.method.data();
    b.lpszQueryString = t.query.data();
    b.lpszPathInfo = t.pathInfo.data();
    b.lpszPathTranslated = t.translated.data();
    b.cbTotalBytes = static_cast<DWORD>(r.contentLength);
    b.cbAvailable = r.body ? static_cast<DWORD>(r.body->size()) : 0;
    b.lpbData = r.body ? reinterpret_cast<LPBYTE>(r.body->data()) : nullptr;
    b.lpszContentType = t.contentType.data();
    b.GetServerVariable = getServerVariable;
    b.WriteClient = writeClient;
    b.ReadClient = readClient;
    b.ServerSupportFunction = serverSupportFunction;
}

struct GuardedCall {
    ExtensionProc proc;
    EXTENSION_CONTROL_BLOCK* block;
};

void callExtension(void* arg) {
    auto* call = static_cast<GuardedCall*>(arg);
    call->proc(call->block);
}

// Loads the library and finds its two entry points; false after the error
// page and its diagnostic.
bool loadExtension(ProgramSink& sink, const std::string& path, VersionProc& version, ExtensionProc& proc) {
    std::string error;
    SharedLibrary library = loadLibrary(path, error);
    const char* failure = nullptr;
    if (!library.handle) {
        failure = "Error loading dll.\r\n";
    } else if (!(version = reinterpret_cast<VersionProc>(librarySymbol(library, "GetExtensionVersion")))) {
        failure = "Error loading dll GetExtensionVersion.\r\n";
    } else if (!(proc = reinterpret_cast<ExtensionProc>(librarySymbol(library, "HttpExtensionProc")))) {
        failure = "Error loading dll HttpExtensionProc.\r\n";
    }
    if (!failure) return true;
    sink.error(500);
    debugPrint(std::string(failure) + (error.empty() ? "symbol not found" : error) + "\r\n");
    return false;
}

// What is held back goes out with its length; a call that faulted before
// giving any reply gets the error page.  The connection stays open only
// for a reply whose length was announced.
void finishReply(ExtensionCall& x, bool faulted) {
    if (x.sink.call.page) return;
    if (!x.streaming && x.headed) {
        x.sink.write(headerText(x, faulted ? 0 : static_cast<int64_t>(x.held.size())));
        if (!headOnly(x.sink.r)) x.sink.write(x.held);
    } else if (!x.wrote && faulted) {
        x.sink.error(500);
    }
    if (faulted || !x.headed || x.streaming) x.sink.r.keepAliveGranted = false;
    flushSend(x.sink.c);
}

}  // namespace

int RunIsapiExtension(Connection& c, HttpRequest& r, const ProgramCall& call) {
    ProgramSink sink {c, r, call};
    std::string translated;
    if (int code = translatePathInfo(c, r, translated)) {
        sink.error(code);
        return 1;
    }
    const std::string path = absolutePath(r.filePath);
    if (fileSizeAndDate(path).size == 0) {
        sink.error(404);
        debugPrintf("Error finding cgi file.  FS was %ld.\r\n", 0L);
        return 1;
    }
    VersionProc version = nullptr;
    ExtensionProc proc = nullptr;
    if (!loadExtension(sink, path, version, proc)) return 1;
    HSE_VERSION_INFO info {};
    version(&info);

    ExtensionCall x(sink);
    addServerVariables(x, translated);
    BlockTexts texts {r.method, r.query.value_or(""), r.pathInfo.value_or(""), translated, r.contentType};
    EXTENSION_CONTROL_BLOCK block {};
    fillBlock(block, x, texts);
    GuardedCall guarded {proc, &block};
    int signo = runGuarded(callExtension, &guarded);
    if (signo != 0)
        debugPrintf("\r\n**ISAPI Program '%s' caused the following exception:\r\n (%x) %.*s\r\n", path.c_str(),
                    faultCode(signo), static_cast<int>(faultName(signo).size()), faultName(signo).data());
    finishReply(x, signo != 0);
    return 0;
}

}  // namespace qv
