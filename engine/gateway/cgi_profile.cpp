#include "engine/gateway/cgi_profile.h"

#include "engine/log/strings.h"
#include "engine/platform/profile.h"
#include "engine/quorvane.h"

namespace qv {

namespace {

constexpr std::size_t kLiteralValueLength = 254;

std::string serverSoftware() { return "Quorvane/" + std::string(kVersionText); }

// A key the profile format cannot hold (a name starting with "[") is left
// out; the program still finds the field in the content file.
void put(ProfileText& p, std::string_view section, std::string_view key, std::string_view value) {
    p.writeString(section, key, value);
}

void writeCgiSection(ProfileText& p, const CgiFacts& f) {
    put(p, "CGI", "Request Protocol", f.protocol);
    put(p, "CGI", "Request Method", f.method);
    put(p, "CGI", "Executable Path", f.executablePath);
    if (!f.pathInfo.empty()) put(p, "CGI", "Logical Path", f.pathInfo);
    if (!f.pathTranslated.empty()) put(p, "CGI", "Physical Path", f.pathTranslated);
    if (!f.query.empty()) put(p, "CGI", "Query String", f.query);
    put(p, "CGI", "Referer", f.referer);
    put(p, "CGI", "User-Agent", f.userAgent);
    put(p, "CGI", "Content Type", f.contentType);
    put(p, "CGI", "Content Length", std::to_string(f.contentLength));
    put(p, "CGI", "Content File", f.contentFile);
    put(p, "CGI", "Server Software", serverSoftware());
    put(p, "CGI", "Server Name", f.serverName);
    put(p, "CGI", "Server Port", std::to_string(f.serverPort));
    put(p, "CGI", "Server Admin", f.serverAdmin);
    put(p, "CGI", "CGI Version", kCgiVersion);
    if (f.remoteHost != f.remoteAddress) put(p, "CGI", "Remote Host", f.remoteHost);
    put(p, "CGI", "Remote Address", f.remoteAddress);
    put(p, "CGI", "Authentication Method", "Basic");
    put(p, "CGI", "Authentication Realm", f.realm);
    put(p, "CGI", "Authenticated Username", f.user);
}

void writeSystemSection(ProfileText& p, const CgiFacts& f) {
    bool noOffset = f.gmtOffset.empty() || f.gmtOffset.front() == 'N';
    put(p, "System", "GMT Offset", noOffset ? std::string_view("0") : std::string_view(f.gmtOffset));
    put(p, "System", "Debug Mode", f.debugMode);
    put(p, "System", "Output File", f.outputFile);
    put(p, "System", "Content File", f.contentFile);
}

void writeFormSections(ProfileText& p, const CgiFacts& f, const std::string& profilePath,
                       std::vector<ExternalField>& externals) {
    if (!f.form) return;
    f.form->forEach([&](const VarList::Entry& field) {
        const bool literal = field.value.empty() || (field.number == 0 && field.value.size() <= kLiteralValueLength);
        if (literal) {
            put(p, "Form Literal", field.name, field.value);
            return;
        }
        std::string path = externalFieldPath(profilePath, static_cast<int>(externals.size()));
        put(p, "Form External", field.name, path + " " + std::to_string(field.value.size()));
        externals.push_back(ExternalField{std::move(path), field.value});
    });
}

void writeList(ProfileText& p, std::string_view section, const VarList* list) {
    if (!list) return;
    list->forEach([&](const VarList::Entry& e) { put(p, section, e.name, e.value); });
}

}  // namespace

std::string externalFieldPath(const std::string& profilePath, int n) {
    std::size_t name = profilePath.rfind('/') + 1;  // 0 without a folder
    std::size_t dot = profilePath.find('.', name);
    std::string stem = dot == std::string::npos ? profilePath + "." : profilePath.substr(0, dot + 1);
    return stem + std::to_string(n);
}

CgiProfile winCgiProfile(const CgiFacts& facts, const std::string& profilePath) {
    ProfileText p;
    CgiProfile out;
    writeCgiSection(p, facts);
    writeSystemSection(p, facts);
    writeFormSections(p, facts, profilePath, out.externals);
    writeList(p, "Extra Headers", facts.headers);
    writeList(p, "Accept", facts.accept);
    out.text = p.text();
    return out;
}

}  // namespace qv
