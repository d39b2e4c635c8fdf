#include "engine/gateway/cgi_environment.h"

#include <algorithm>
#include <unordered_set>

#include "engine/gateway/cgi_profile.h"
#include "engine/log/strings.h"
#include "engine/quorvane.h"

namespace qv {

namespace {

using Variables = std::vector<std::pair<std::string, std::string>>;

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return out;
}

// The variables of the Windows CGI interface, in their order.
Variables designedVariables(const CgiFacts& f) {
    Variables v = {
        {"Request_Protocol", f.protocol},
        {"Request_Method", f.method},
        {"Executable_Path", f.scriptPath},
        {"SCRIPT_NAME", f.urlPath},
        {"Logical_Path", f.pathInfo},
        {"PATH_INFO", f.pathInfo},
        {"Physical_Path", f.pathTranslated},
        {"PATH_TRANSLATED", f.pathTranslated},
        {"QUERY_STRING", f.query},
        {"Content_Type", f.contentType},
        {"Content_Length", std::to_string(f.contentLength)},
        {"Content_File", f.contentFile},
        {"Server_Software", "Quorvane/" + std::string(kVersionText)},
        {"Server_Name", f.serverName},
        {"Server_Port", std::to_string(f.serverPort)},
        {"Server_Admin", f.serverAdmin},
        {"CGI_Version", std::string(kCgiVersion)},
    };
    if (f.remoteHost != f.remoteAddress) v.emplace_back("Remote_Host", f.remoteHost);
    v.emplace_back("Remote_Address", f.remoteAddress);
    v.emplace_back("Output_File", f.outputFile);
    v.emplace_back("USER_AGENT", f.userAgent);
    return v;
}

std::string acceptText(const VarList* accept) {
    std::string out;
    if (!accept) return out;
    accept->forEach([&](const VarList::Entry& e) {
        if (!out.empty()) out += ", ";
        out += e.name;
        if (e.value != "Yes") out.append(" ").append(e.value);
    });
    return out;
}

// A header name that can stand in a variable name.
bool plainName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

// What CGI/1.1 programs read that the Windows interface does not name.
Variables commonVariables(const CgiFacts& f) {
    Variables v = {
        {"GATEWAY_INTERFACE", "CGI/1.1"},
        {"SERVER_PROTOCOL", f.protocol},
        {"REQUEST_URI", f.requestUri},
        {"SCRIPT_FILENAME", f.scriptPath},
        {"DOCUMENT_ROOT", f.documentRoot},
        {"REMOTE_ADDR", f.remoteAddress},
        {"REDIRECT_STATUS", "200"},
    };
    if (!f.user.empty()) {
        v.emplace_back("AUTH_TYPE", "Basic");
        v.emplace_back("REMOTE_USER", f.user);
    }
    if (!f.userAgent.empty()) v.emplace_back("HTTP_USER_AGENT", f.userAgent);
    if (!f.referer.empty()) v.emplace_back("HTTP_REFERER", f.referer);
    if (std::string accept = acceptText(f.accept); !accept.empty()) v.emplace_back("HTTP_ACCEPT", accept);
    if (f.headers) {
        f.headers->forEach([&](const VarList::Entry& e) {
            if (!plainName(e.name)) return;
            std::string name = "HTTP_" + upper(e.name);
            std::replace(name.begin(), name.end(), '-', '_');
            v.emplace_back(std::move(name), e.value);
        });
    }
    return v;
}

// Variables the service manager hands the server; a program that saw them
// could talk to the manager in the server's name.
bool managerVariable(std::string_view name) {
    static constexpr std::string_view kNames[] = {
        "NOTIFY_SOCKET", "LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES", "WATCHDOG_USEC", "WATCHDOG_PID",
        "INVOCATION_ID", "JOURNAL_STREAM", "MANAGERPID", "SYSTEMD_EXEC_PID", "MAINPID",
    };
    return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

}  // namespace

std::vector<std::string> cgiEnvironment(const CgiFacts& facts, const char* const* inherited) {
    Variables own;
    for (auto& [name, value] : designedVariables(facts)) {
        std::string twin = upper(name);
        if (twin != name) own.emplace_back(twin, value);
        own.emplace_back(std::move(name), std::move(value));
    }
    for (auto& variable : commonVariables(facts)) own.push_back(std::move(variable));

    // Remote_Host is set only for a resolved name; an inherited one would
    // name somebody else.
    std::unordered_set<std::string> taken {"REMOTE_HOST"};
    for (const auto& variable : own) taken.insert(upper(variable.first));
    std::vector<std::string> env;
    for (const char* const* e = inherited; e && *e; ++e) {
        std::string_view entry(*e);
        std::string_view name = entry.substr(0, entry.find('='));
        std::string key = upper(name);
        if (taken.count(key) || key.starts_with("HTTP_") || managerVariable(name)) continue;
        env.emplace_back(entry);
    }
    for (const auto& [name, value] : own) env.push_back(name + "=" + value);
    return env;
}

}  // namespace qv
