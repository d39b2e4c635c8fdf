#include "engine/http/includes.h"

#include <cstdio>
#include <memory>

#include "engine/core/socket_info.h"
#include "engine/http/template.h"
#include "engine/log/strings.h"
#include "engine/output.h"

namespace qv {

namespace {

constexpr std::size_t kLineLength = 2047;
constexpr std::size_t kDirectiveLength = 511;
constexpr std::size_t kAffixLength = 255;
constexpr std::string_view kScriptError = "*** SSI SCRIPT ERROR ***";

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// One line of at most 2,047 bytes with its line end; false at the end.
bool readLine(FILE* f, std::string& line) {
    line.clear();
    int ch;
    while (line.size() < kLineLength && (ch = std::fgetc(f)) != EOF) {
        line += static_cast<char>(ch);
        if (ch == '\n') break;
    }
    return !line.empty();
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

// Runs one directive line (already expanded).  Unknown directives, and
// directives without attribute or value, do nothing.
void runDirective(std::string_view line, Affixes& affixes, std::string& page) {
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
        // Programs run from pages arrive with the gateway; until then every
        // exec directive reports the script error in the page.
        page += kScriptError;
    }
}

}  // namespace

int processIncludes(Connection& c, HttpRequest& r, const std::string& path, std::string& page) {
    const std::string& file = path.empty() ? r.filePath : path;
    File f(std::fopen(file.c_str(), "rb"));
    if (!f) {
        debugPrint("Filesize: Error opening file '" + file + "'\r\n  " + systemErrorText());
        return 0;
    }
    std::fseek(f.get(), 0, SEEK_END);
    long size = std::ftell(f.get());
    std::rewind(f.get());
    if (size <= 0) {
        debugPrint("Error opening file (filesize <= 0)'" + file + "'\r\n");
        return 1;
    }
    setSocketFileSize(c.socketInfo, static_cast<uint64_t>(size));
    VarList vars;
    addPageVariables(vars, c, r);
    vars.add("hit_count", r.hitCount);
    vars.add("hit_start_date", r.hitStartDate);

    Affixes affixes;
    std::string line;
    while (readLine(f.get(), line) && line[0] != '\0') {
        std::string expanded = expandTemplate(vars, line);
        if (line.rfind("<!--#", 0) == 0)
            runDirective(expanded, affixes, page);
        else
            page += expanded;
    }
    return 0;
}

}  // namespace qv
