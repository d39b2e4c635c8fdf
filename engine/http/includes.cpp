#include "engine/http/includes.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/core/engine.h"
#include "engine/core/socket_info.h"
#include "engine/gateway/cgi_run.h"
#include "engine/http/hit_counts.h"
#include "engine/http/http_shared.h"
#include "engine/http/template.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/unique_fd.h"

namespace qv {

namespace {

constexpr std::size_t kLineLength = 2047;
constexpr std::size_t kDirectiveLength = 511;
constexpr std::size_t kAffixLength = 255;

// The whole file as fstat sized it when opened (a file that grows while
// it is read is served as it was then); false when it cannot be opened or
// read.
bool readWholeFile(const std::string& path, std::string& text) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0) return false;
    text.resize(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)));
    std::size_t got = 0;
    while (got < text.size()) {
        ssize_t n = read(fd.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;  // it shrank meanwhile
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    return true;
}

// The page at `file`: from the engine's copy when `stamp` (the mapping's
// look at it) shows it unchanged, else read, and copied for next time.
bool readPage(Connection& c, const HttpRequest& r, const std::string& file, const FileStamp* stamp,
              std::string& text) {
    HttpShared* shared = httpShared(c);
    if (!stamp || stamp->size == 0 || !shared) return readWholeFile(file, text);
    PageCache& pages = shared->pages;
    if (auto copy = pages.find(file, *stamp)) {
        text = *copy;
        return true;
    }
    if (!readWholeFile(file, text)) return false;
    pages.keep(file, *stamp, text);
    return true;
}

// The next line of `text` from `at`: through its line feed, at most 2,047
// bytes; empty at the end.
std::string_view nextLine(std::string_view text, std::size_t& at) {
    std::string_view rest = text.substr(std::min(at, text.size()));
    std::size_t length = std::min(rest.size(), kLineLength);
    std::size_t lf = rest.substr(0, length).find('\n');
    if (lf != std::string_view::npos) length = lf + 1;
    at += length;
    return rest.substr(0, length);
}

// The value of attribute=value: the text between the quotes (up to the
// next quote when there is no opening one), empty for "".
std::string quotedValue(std::string_view text) {
    if (text.size() >= 2 && text[0] == '"' && text[1] == '"') return {};
    if (!text.empty() && text[0] == '"') text.remove_prefix(1);
    return std::string(text.substr(0, text.find('"')));
}

struct Affixes {
    std::string prefix;  // put before every line a program prints
    std::string suffix;  // and after it
};

// Runs the program an "exec" directive names (kind "cmd": a command line,
// kind "cgi": a program file), its output going into the page.  The
// request's path, query and path info are the directive's while it runs.
void runPageProgram(Connection& c, HttpRequest& r, std::string_view kind, const std::string& value,
                    const Affixes& affixes, std::string& page) {
    const bool command = equalsNoCase(kind, "cmd");
    if ((!command && !equalsNoCase(kind, "cgi")) || !r.settings->page_exec) {
        page += kScriptError;
        return;
    }
    std::string savedPath = std::move(r.filePath);
    std::optional<std::string> savedQuery = std::move(r.query), savedPathInfo = std::move(r.pathInfo);
    splitUrl(value, r.filePath, r.pathInfo, r.query);
    if (r.pathInfo) r.pathInfo = "/" + *r.pathInfo;
    r.counter = {};
    ProgramCall call;
    call.sendHeader = false;
    if (command) call.command = value;
    call.prefix = affixes.prefix;
    call.suffix = affixes.suffix;
    call.page = &page;
    RunCgiProgram(c, r, call);
    r.filePath = std::move(savedPath);
    r.query = std::move(savedQuery);
    r.pathInfo = std::move(savedPathInfo);
    r.counter = {};
}

// Runs one directive line (already expanded).  Unknown directives, and
// directives without attribute or value, do nothing.
void runDirective(Connection& c, HttpRequest& r, std::string_view line, Affixes& affixes, std::string& page) {
    line = line.substr(0, kDirectiveLength);
    std::size_t hash = line.find('#');
    line.remove_prefix(hash + 1);
    std::size_t nameEnd = line.find_first_of(" \r\n");
    std::string_view name = line.substr(0, nameEnd);
    std::string_view rest = nameEnd == std::string_view::npos ? std::string_view() : line.substr(nameEnd);
    rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(' ')));
    std::size_t eq = rest.find('=');
    if (eq == std::string_view::npos) return;
    std::string_view attribute = rest.substr(0, eq);
    std::string value = quotedValue(rest.substr(eq + 1));
    if (startsWithNoCase(name, "config")) {
        if (equalsNoCase(attribute, "cmdprefix")) affixes.prefix = value.substr(0, kAffixLength);
        if (equalsNoCase(attribute, "cmdpostfix")) affixes.suffix = value.substr(0, kAffixLength);
    } else if (startsWithNoCase(name, "exec") && !attribute.empty() && !value.empty()) {
        runPageProgram(c, r, attribute, value, affixes, page);
    }
}

}  // namespace

int processIncludes(Connection& c, HttpRequest& r, const std::string& path, std::string& page) {
    const std::string& file = path.empty() ? r.filePath : path;
    std::string text;
    if (!readPage(c, r, file, file == r.filePath ? &r.fileStamp : nullptr, text)) {
        debugPrint("Filesize: Error opening file '" + file + "'\r\n  " + systemErrorText());
        return 0;
    }
    if (text.empty()) {
        debugPrint("Error opening file (filesize <= 0)'" + file + "'\r\n");
        return 1;
    }
    setSocketFileSize(c.socketInfo, text.size());
    // Most pages have neither variables nor directives: they go out as
    // they are, without building the variables or scanning line by line.
    const bool variables = text.find('$') != std::string::npos;
    if (!variables && text.find("<!--#") == std::string::npos && text.find('\0') == std::string::npos) {
        page += text;
        return 0;
    }
    VarList vars;
    if (variables) {
        addPageVariables(vars, c, r);
        readPageCount(c, r);
        vars.add("hit_count", r.hitCount);
        vars.add("hit_start_date", r.hitStartDate);
    }
    Affixes affixes;
    std::size_t at = 0;
    // A line that begins with a NUL ends the page.
    for (std::string_view line = nextLine(text, at); !line.empty() && line[0] != '\0'; line = nextLine(text, at)) {
        std::string expanded = line.find('$') == std::string_view::npos ? std::string(line) : expandTemplate(vars, line);
        if (line.starts_with("<!--#"))
            runDirective(c, r, expanded, affixes, page);
        else
            page += expanded;
    }
    return 0;
}

}  // namespace qv
