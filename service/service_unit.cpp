#include "service/service_unit.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/platform/process.h"
#include "engine/platform/runtime_dir.h"
#include "service/service_control.h"

namespace qv::service {

namespace {

constexpr int kUseraddTimeoutMs = 30000;

bool hasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// One word of a unit line as systemd reads it back: "%" starts a specifier
// and "$" a variable in commands, so both are doubled; a blank, a quote or
// a backslash needs the word quoted, with C escapes inside the quotes.
std::string unitWord(const std::string& text, bool command) {
    std::string out;
    bool quote = false;
    for (char c : text) {
        if (c == '%') {
            out += "%%";
        } else if (command && c == '$') {
            out += "$$";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
            quote = true;
        } else {
            quote = quote || c == ' ' || c == '\t' || c == '\'';
            out += c;
        }
    }
    return quote ? "\"" + out + "\"" : out;
}

std::string withoutFinalSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool isInside(const std::filesystem::path& folder, const std::string& tree) {
    std::error_code ec;
    std::filesystem::path root = std::filesystem::weakly_canonical(withoutFinalSlash(tree), ec);
    if (ec || root.empty()) return false;
    auto [r, f] = std::mismatch(root.begin(), root.end(), folder.begin(), folder.end());
    return r == root.end();
}

// Leaves errno set when it fails.
bool chownTree(const std::filesystem::path& folder, const UserIds& ids) {
    std::error_code ec;
    bool ok = true;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        ok = lchown(it->path().c_str(), ids.uid, ids.gid) == 0 && ok;
    if (ec) errno = ec.value();
    return ok && !ec;
}

FolderResult failedWith(int err) {
    errno = err;
    return FolderResult::kFailed;
}

}  // namespace

std::optional<std::string> serviceUnitText(const UnitSettings& unit) {
    if (hasControlCharacter(unit.program) || hasControlCharacter(unit.settingsFolder) || !validUserName(unit.user))
        return std::nullopt;
    std::string text = "[Unit]\nDescription=" + std::string(kDisplayName) +
                       "\nAfter=network.target\n\n[Service]\nType=notify\nNotifyAccess=main\nExecStart=" +
                       unitWord(unit.program, true) +
                       "\nExecReload=/bin/kill -HUP $MAINPID\nKillSignal=SIGTERM\n";
    // An unprivileged user that may still bind the classic ports (21, 25,
    // 70, 80), and nothing more; gateway programs inherit the same.
    text += "User=" + unit.user +
            "\nAmbientCapabilities=CAP_NET_BIND_SERVICE\nCapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
            "NoNewPrivileges=yes\nPrivateTmp=yes\nProtectSystem=full\n"
            "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n";
    // No ProtectHome: FTP homes, mail files and web folders may be anywhere.
    // The runtime folder outlives a stop, so a desktop program or viewer of
    // the service's group keeps its lock files and connection table; files
    // made there (and logs) are group-writable for the same reason.
    text += "UMask=0007\nRuntimeDirectory=quorvane\nRuntimeDirectoryMode=0770\nRuntimeDirectoryPreserve=yes\n"
            "Environment=QUORVANE_RUN=" +
            std::string(kSystemRuntimeFolder) + "\n";
    if (!unit.settingsFolder.empty())
        text += "Environment=" + unitWord("QUORVANE_ETC=" + unit.settingsFolder, false) + "\n";
    // No default target: the service starts only when asked, until an
    // operator enables it.
    return text + "\n[Install]\nWantedBy=multi-user.target\n";
}

SystemUsers realSystemUsers() {
    SystemUsers users;
    users.find = [](const std::string& name) -> std::optional<UserIds> {
        passwd entry {};
        passwd* found = nullptr;
        char buf[4096];
        if (getpwnam_r(name.c_str(), &entry, buf, sizeof buf, &found) != 0 || !found) return std::nullopt;
        return UserIds{found->pw_uid, found->pw_gid};
    };
    users.run = [](const std::vector<std::string>& argv) { return runProgram(argv, kUseraddTimeoutMs); };
    users.root = geteuid() == 0;
    return users;
}

bool validUserName(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    if (!std::islower(static_cast<unsigned char>(name[0])) && name[0] != '_') return false;
    for (unsigned char c : name)
        if (!std::islower(c) && !std::isdigit(c) && c != '_' && c != '-') return false;
    return true;
}

UserResult ensureServiceUser(const std::string& name, const SystemUsers& users, UserIds& ids) {
    if (auto found = users.find(name)) {
        ids = *found;
        return UserResult::kExists;
    }
    if (!users.root) return UserResult::kMissing;
    if (!validUserName(name)) return UserResult::kCreateFailed;
    std::vector<std::string> argv = {"useradd",    "--system", "--user-group", "--no-create-home", "--home-dir",
                                     kDataFolder, "--shell",  "/usr/sbin/nologin", name};
    if (users.run(argv) != 0) return UserResult::kCreateFailed;
    auto made = users.find(name);
    if (!made) return UserResult::kCreateFailed;
    ids = *made;
    return UserResult::kCreated;
}

FolderResult handOverFolder(const std::string& path, const UserIds& ids, const std::string& dataFolder) {
    std::string folder = withoutFinalSlash(path);
    if (folder.empty()) return failedWith(ENOENT);
    // Missing parents are made searchable by everybody, or the service
    // user could not reach its own folder.
    if (auto slash = folder.find_last_of('/'); slash != std::string::npos && slash > 0)
        if (int err = ensureFolder(folder.substr(0, slash), 0755)) return failedWith(err);
    if (int err = ensureFolder(folder, 0770)) return failedWith(err);
    std::error_code ec;
    std::filesystem::path real = std::filesystem::canonical(folder, ec);
    if (ec) return failedWith(ec.value());
    struct stat st {};
    if (stat(real.c_str(), &st) != 0) return FolderResult::kFailed;
    bool inside = isInside(real, dataFolder);
    bool empty = std::filesystem::is_empty(real, ec);
    if (ec) return failedWith(ec.value());
    if (!inside && !empty && st.st_uid != ids.uid) return FolderResult::kLeftAsIs;
    if (inside && !chownTree(real, ids)) return FolderResult::kFailed;
    if (chown(real.c_str(), ids.uid, ids.gid) != 0 || chmod(real.c_str(), 0770) != 0) return FolderResult::kFailed;
    return FolderResult::kHandedOver;
}

}  // namespace qv::service
