#include "tests/fuzz/request_check.h"

#include <algorithm>
#include <filesystem>

#include "engine/config/path_mapping.h"
#include "engine/http/request.h"
#include "engine/log/strings.h"

namespace qv::fuzz {

namespace {

constexpr std::string_view kGopherFolder = "/srv/fuzz/gopher/";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// `path` names `folder` itself or something below it; `folder` ends in "/".
bool below(std::string_view path, std::string_view folder) {
    return startsWith(path, folder) || path == folder.substr(0, folder.size() - 1);
}

// Each line of the input, cut where the request reader cuts it.
std::string_view firstLine(std::string_view input, std::string_view& rest) {
    std::size_t eol = input.find('\n');
    rest = eol == std::string_view::npos ? std::string_view() : input.substr(eol + 1);
    return input.substr(0, std::min(eol, kRequestLineLength));
}

}  // namespace

const Settings& fuzzSettings() {
    static const Settings settings = [] {
        Settings s;
        s.gopherdir = std::string(kGopherFolder);
        auto alias = [](const char* path, const char* folder) {
            AliasEntry a;
            a.path = path;
            a.folder = folder;
            return a;
        };
        s.aliases = {alias("/docs", "/srv/fuzz/docs/"), alias("/d", "/srv/fuzz/d"),
                     alias("/~", "/srv/fuzz/home/$1/www"), alias("/cgi-bin/", "/srv/fuzz/cgi/")};
        return s;
    }();
    return settings;
}

int judgeMappedPath(const std::string& local, const AliasEntry* alias) {
    if (local.find("..") != std::string::npos) return kPathClimbs;
    if (local.find('\0') != std::string::npos) return kPathHasNul;
    // "." components and doubled separators are harmless; compare what the
    // system would resolve.
    std::string normal = std::filesystem::path(local).lexically_normal().string();
    if (!alias) return below(normal, kFuzzRoot) || below(normal, kGopherFolder) ? kPathContained : kPathEscapes;
    std::string_view folder = alias->folder;
    folder = folder.substr(0, folder.find('$'));
    return startsWith(normal, folder) || startsWith(normal + "/", folder) ? kPathContained : kPathEscapes;
}

RequestCheck checkRequest(std::string_view input) {
    HttpRequest request;
    std::string_view rest;
    request.requestLine = std::string(firstLine(input, rest));
    std::string url;
    splitRequestLine(request.requestLine, request.method, url, request.protocol);
    splitUrl(url, request.urlPath, request.pathInfo, request.query);
    while (!rest.empty()) parseHeaderLine(request, firstLine(rest, rest), 1);

    RequestCheck check;
    std::string path = urlUnescape(request.urlPath, false);
    const AliasEntry* alias = nullptr;
    MappingContext context;
    context.root = kFuzzRoot;
    check.mapResult = aliasToDosDir(fuzzSettings(), path, check.localPath, alias, context);
    if (check.mapResult == kMapped) check.verdict = judgeMappedPath(check.localPath, alias);
    return check;
}

const char* verdictText(int verdict) {
    switch (verdict) {
        case kPathContained: return "the mapped path stays in its folder";
        case kPathClimbs: return "the mapped path holds \"..\"";
        case kPathHasNul: return "the mapped path holds a NUL byte";
        case kPathEscapes: return "the mapped path lies outside its folder";
    }
    return "unknown verdict";
}

}  // namespace qv::fuzz
