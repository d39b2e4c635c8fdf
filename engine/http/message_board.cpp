#include "engine/http/message_board.h"

#include <chrono>
#include <sys/stat.h>

#include "engine/config/path_mapping.h"
#include "engine/core/files.h"
#include "engine/core/io.h"
#include "engine/http/form_fields.h"
#include "engine/http/includes.h"
#include "engine/http/response.h"
#include "engine/http/template.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/file_lock.h"
#include "engine/platform/profile.h"

namespace qv {

const char* const kDefaultBoardEntry =
    "<hr>Message from $email?[<a href=mailto:$email>]<b>$name|[Somebody]</b>$email?[</a>] at $remote_host|[] - "
    "$date<br>$subject?[<h3>$subject</h3>]$text|[...]$link?[<br>Link = <a href=$link>$link</a>]<p>$CR$LF";

namespace {

// Two posts to one board wait this long for each other, then the later
// one is told to try again.
constexpr std::chrono::milliseconds kBoardWait{2000};

constexpr std::string_view kSsiRefused =
    "<h1>Sorry, unable to send your message.</h1>Server Side Includes are not allowed in messages.  Please remove "
    "the SSL code and try again.";
constexpr std::string_view kBoardBusy =
    "<h1>Sorry, unable to send your message now.</h1>Somebody else may be looking at it.  Please try to post your "
    "message again in a few seconds.";

// The designed answer text under a status that says what happened.
void answer(Connection& c, HttpRequest& r, int code, std::string_view status, std::string_view text) {
    r.status = code;
    sendString(c, responseHeader(r, status, 0));
    sendString(c, text);
}

bool hasUnsafeAddressChars(std::string_view v) { return v.find_first_of(" \t\"'<>") != std::string_view::npos; }

bool isSafeLink(std::string_view v) {
    if (v.empty() || hasUnsafeAddressChars(v)) return false;
    if (v.front() == '/') return true;
    for (std::string_view scheme : {"http://", "https://", "ftp://", "mailto:"})
        if (startsWithNoCase(v, scheme)) return true;
    return false;
}

// A posted value as the entry may show it.
std::string safeValue(std::string_view name, std::string_view value) {
    if (equalsNoCase(name, "email") && hasUnsafeAddressChars(value)) return {};
    if (equalsNoCase(name, "link") && !isSafeLink(value)) return {};
    std::string escaped = htmlEscape(value);
    std::string out;
    for (char ch : escaped) {
        out += ch;
        if (ch == '$') out += '$';
    }
    return out;
}

// The form fields, made safe, then the page variables: a field wins over a
// page variable of its name (the variable is the one renamed).  True when
// a raw field carries a directive.
bool entryVariables(Connection& c, HttpRequest& r, VarList& vars) {
    VarList posted;
    DecodeFormFields(r, posted);
    bool directive = false;
    std::vector<const VarList::Entry*> fields;
    posted.forEach([&](const VarList::Entry& e) { fields.push_back(&e); });
    // forEach is newest first; added oldest first they keep their order.
    for (auto it = fields.rbegin(); it != fields.rend(); ++it) {
        directive = directive || (*it)->value.find("<!--#") != std::string::npos ||
                    (*it)->name.find("<!--#") != std::string::npos;
        vars.add((*it)->name, safeValue((*it)->name, (*it)->value), (*it)->number);
    }
    addPageVariables(vars, c, r);
    return directive;
}

// Maps the board through an alias that allows posting; 0 with `board`
// set, else the refusal already sent.
int findBoard(Connection& c, HttpRequest& r, std::string& board) {
    std::string path = r.urlPath;
    urlUnescape(path, false);
    path += ".htm";
    MappingContext context;
    context.client = c.peerAddress;
    if (!r.user.empty()) context.user = r.user;
    if (!r.password.empty()) context.password = r.password;
    const AliasEntry* alias = nullptr;
    if (aliasToDosDir(*r.settings, path, board, alias, context) != kMapped) {
        answer(c, r, 403, "403 Forbidden", "Error posting message.  Access error.\r\n");
        return 1;
    }
    if (!alias) {
        answer(c, r, 404, "404 Not Found", "Error posting message.  Alias error.\r\n");
        return 1;
    }
    if (!alias->messages) {
        answer(c, r, 403, "403 Forbidden", "Error posting message.  Not allowed in this directory.\r\n");
        return 1;
    }
    if (fileSizeAndDate(board).size == 0) {
        answer(c, r, 404, "404 Not Found", "Error posting message.  File not found.\r\n");
        return 1;
    }
    return 0;
}

std::string entryTemplate(const std::string& board) {
    const std::string access = board.substr(0, board.rfind('/') + 1) + "access.qac";
    std::string format = ProfileFile(access).getString("messages", "simple_format", "", 1024);
    return format.empty() ? kDefaultBoardEntry : format;
}

}  // namespace

int doPostMessageBoard(Connection& c, HttpRequest& r) {
    debugPrint("doPostMessageBoard()\r\n");
    std::string board;
    if (findBoard(c, r, board) != 0) return 1;
    VarList vars;
    const bool directive = entryVariables(c, r, vars);
    debugPrint("doPostMessageBoard() debug1\r\n");
    const std::string entry = expandTemplate(vars, entryTemplate(board));
    if (directive || entry.find("<!--#") != std::string::npos) {
        answer(c, r, 403, "403 Forbidden", kSsiRefused);
        return 0;
    }
    UniqueFd fd = openLockedForAppend(board, kBoardWait);
    if (!fd.valid() || appendTo(fd.get(), board, entry) != 0) {
        answer(c, r, 503, "503 Service Unavailable", kBoardBusy);
        return 0;
    }
    fd.reset();
    sendOkHeader(c, r, 0);
    std::string page;
    r.filePath = board;
    r.fileStamp = FileStamp {};  // changed just now: read it afresh
    processIncludes(c, r, board, page);
    sendString(c, page);
    return 0;
}

}  // namespace qv
