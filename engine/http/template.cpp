#include "engine/http/template.h"

#include "engine/log/dates.h"
#include "engine/log/strings.h"
#include "engine/quorvane.h"

namespace qv {

namespace {

constexpr std::size_t kUnknownLookAhead = 31;

// The position just past the "]" that closes the "[" at `open`, or the end.
std::size_t pastMatchingBracket(std::string_view t, std::size_t open) {
    int depth = 0;
    for (std::size_t i = open; i < t.size(); ++i) {
        if (t[i] == '[') ++depth;
        if (t[i] == ']' && --depth == 0) return i + 1;
    }
    return t.size();
}

char at(std::string_view t, std::size_t i) { return i < t.size() ? t[i] : '\0'; }

}  // namespace

std::string expandTemplate(const VarList& vars, std::string_view t) {
    std::string out;
    out.reserve(t.size() + 16);
    int depth = 0;
    std::size_t i = 0;
    while (i < t.size()) {
        char c = t[i];
        if (c == ']' && depth > 0) {
            --depth;
            ++i;
            continue;
        }
        if (c != '$') {
            out += c;
            ++i;
            continue;
        }
        if (const VarList::Entry* e = vars.lookup(t.substr(i + 1))) {
            std::size_t end = i + 1 + e->name.size();
            char mark = at(t, end);
            bool bracket = at(t, end + 1) == '[';
            bool empty = e->value.empty();
            if (bracket && (((mark == '|' || mark == '!') && empty) || (mark == '?' && !empty))) {
                ++depth;  // the bracket's text is expanded, its "]" swallowed
                i = end + 2;
            } else if (bracket && ((mark == '?' && empty) || (mark == '!' && !empty))) {
                i = pastMatchingBracket(t, end + 1);
            } else {
                out += e->value;
                // "$v|[default]" with a value: the default is dropped.  A mark
                // without a bracket is ordinary text ("Do you use $user_agent?").
                i = bracket && mark == '|' ? pastMatchingBracket(t, end + 1) : end;
            }
            continue;
        }
        std::size_t limit = std::min(t.size(), i + 1 + kUnknownLookAhead);
        std::size_t open = std::string_view::npos;
        for (std::size_t j = i + 1; j < limit && t[j] != '$'; ++j) {
            if (t[j] == '[') {
                open = j;
                break;
            }
        }
        if (open == std::string_view::npos) {
            out += '$';
            ++i;
        } else if (t[open - 1] == '|' || t[open - 1] == '!') {
            ++depth;  // an unknown variable is empty: its default shows
            i = open + 1;
        } else {
            i = pastMatchingBracket(t, open);
        }
    }
    return out;
}

// Every variable that carries what a client sent (or a name its address
// resolves to) is HTML-escaped: pages show them.
void addPageVariables(VarList& vars, const Connection& c, const HttpRequest& r) {
    const Settings& s = *r.settings;
    const std::string protocol = r.protocol.empty() ? "HTTP/0.9" : r.protocol;
    vars.add("raw_command", "BROKEN");
    vars.add("user_agent", htmlEscape(r.userAgent));
    vars.add("referer", htmlEscape(r.referer));
    vars.add("request_method", htmlEscape(r.method));
    vars.add("server_name", c.hostName);
    vars.add("server_admin", s.email);
    vars.add("server_admin_name", s.name);
    vars.add("server_admin_org", s.organization);
    vars.add("server_admin_logo", s.logo);
    vars.add("remote_address", c.peerAddress);
    vars.add("remote_addr", c.peerAddress);
    vars.add("remote_host", htmlEscape(c.peerName()));
    vars.add("date", ctimeText(r.startTime));
    vars.add("server_port", std::to_string(c.port));
    vars.add("Server_Software", "Quorvane/" + std::string(kVersionText));
    vars.add("Request_Protocol", htmlEscape(protocol));
    vars.add("Server_Protocol", htmlEscape(protocol));
    vars.add("CR", "\r");
    vars.add("LF", "\n");
    vars.add("Executable_Path", htmlEscape(counterKey(r)));
    vars.add("Script_Name", htmlEscape(r.urlPath));
    vars.add("last_modified", r.lastModified);
    vars.add("last_modified_gmt", r.lastModifiedGmt);
}

}  // namespace qv
