#include "engine/platform/runtime_dir.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qv {

namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

std::string withoutFinalSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

std::string defaultSettingsFolder() {
    return withoutFinalSlash(envOr("QUORVANE_ETC", "/etc/quorvane"));
}

std::string defaultRuntimeFolder() { return defaultRuntimeFolder(kSystemRuntimeFolder); }

std::string defaultRuntimeFolder(const std::string& systemFolder) {
    if (const char* run = std::getenv("QUORVANE_RUN"); run && *run) return withoutFinalSlash(run);
    // A folder this user may not enter or write would leave every named
    // object unopened; such a user runs on a folder of its own instead.
    if (runtimeFolderUsable(systemFolder)) return withoutFinalSlash(systemFolder);
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg)
        return joinPath(xdg, "quorvane");
    return "/tmp/quorvane-" + std::to_string(static_cast<unsigned long>(getuid()));
}

bool runtimeFolderUsable(const std::string& path) {
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) == 0;
}

int ensureFolder(const std::string& path, unsigned mode) {
    if (path.empty()) return ENOENT;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        if (int rc = ensureFolder(path.substr(0, slash), mode)) return rc;
    }
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return errno;
    // mkdir honours the umask; the runtime folder must be group-usable.
    chmod(path.c_str(), mode);
    return 0;
}

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

std::string absolutePath(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return joinPath(cwd, path);
}

}  // namespace qv
