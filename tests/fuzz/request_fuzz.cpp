// libFuzzer target: a request as a client could send it, parsed and mapped.
// Whatever the bytes, nothing may crash, and a mapped local path must stay
// inside the server's folder or the folder of the alias it came through.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "engine/config/path_mapping.h"
#include "engine/http/request.h"
#include "engine/log/strings.h"

namespace {

constexpr const char* kRoot = "/srv/fuzz/root/";

const qv::Settings& fuzzSettings() {
    static const qv::Settings settings = [] {
        qv::Settings s;
        s.gopherdir = "/srv/fuzz/gopher/";
        auto alias = [](const char* path, const char* folder) {
            qv::AliasEntry a;
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

bool inside(const std::string& path, std::string_view folder) {
    std::string normal = std::filesystem::path(path).lexically_normal().string();
    return normal.compare(0, folder.size(), folder) == 0;
}

void checkContained(const std::string& result, const qv::AliasEntry* alias) {
    if (result.find("..") != std::string::npos) std::abort();
    if (!alias) {
        if (!inside(result, kRoot) && !inside(result + "/", kRoot) && !inside(result, "/srv/fuzz/gopher")) std::abort();
        return;
    }
    std::string_view folder = alias->folder;
    folder = folder.substr(0, folder.find('$'));
    if (!inside(result, folder) && !inside(result + "/", folder)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t eol = input.find('\n');
    qv::HttpRequest request;
    request.requestLine = std::string(input.substr(0, std::min<std::size_t>(eol, qv::kRequestLineLength)));
    std::string url;
    qv::splitRequestLine(request.requestLine, request.method, url, request.protocol);
    qv::splitUrl(url, request.urlPath, request.pathInfo, request.query);
    for (std::string_view rest = eol == std::string_view::npos ? "" : input.substr(eol + 1); !rest.empty();) {
        std::size_t next = rest.find('\n');
        qv::parseHeaderLine(request, rest.substr(0, std::min<std::size_t>(next, qv::kRequestLineLength)), 1);
        rest = next == std::string_view::npos ? "" : rest.substr(next + 1);
    }
    std::string path = request.urlPath;
    qv::urlUnescape(path, false);
    std::string result;
    const qv::AliasEntry* alias = nullptr;
    qv::MappingContext context;
    context.root = kRoot;
    if (qv::aliasToDosDir(fuzzSettings(), path, result, alias, context) == qv::kMapped) checkContained(result, alias);
    return 0;
}
