#include "engine/config/path_mapping.h"

#include <sys/stat.h>

#include "engine/config/access.h"
#include "engine/config/file_types.h"
#include "engine/config/users.h"
#include "engine/log/dates.h"
#include "engine/log/strings.h"
#include "engine/output.h"

namespace qv {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// A run of separators becomes its last character.
void collapseSeparators(std::string& path) {
    std::size_t write = 0;
    for (std::size_t read = 0; read < path.size(); ++read) {
        if (isSeparator(path[read]) && read + 1 < path.size() && isSeparator(path[read + 1])) continue;
        path[write++] = path[read];
    }
    path.resize(write);
}

// The DOS device names are refused whatever folder they appear in: old
// clients probe for them, and a server on that platform hung on them.
bool namesDevice(std::string_view path) {
    std::size_t cut = path.find_last_of("/\\");
    std::string_view last = cut == std::string_view::npos ? path : path.substr(cut + 1);
    if (last.empty()) return false;
    if ((startsWithNoCase(last, "com") || startsWithNoCase(last, "lpt")) && last.size() == 4 && last[3] >= '1' &&
        last[3] <= '4')
        return true;
    for (std::string_view device : {"con", "aux", "prn", "clock$"})
        if (equalsNoCase(last, device)) return true;
    return (startsWithNoCase(last, "emm") || startsWithNoCase(last, "xms")) && fileExtension(last).empty();
}

// The longest alias whose path prefixes the request path (the first among
// equally long ones), with the local path it gives.
const AliasEntry* findAlias(const Settings& s, std::string_view path, std::string& result) {
    const AliasEntry* best = nullptr;
    for (const AliasEntry& a : s.aliases) {
        if (!startsWithNoCase(path, a.path) || (best && a.path.size() <= best->path.size())) continue;
        best = &a;
        std::size_t n = a.path.size();
        if (n < path.size() && isSeparator(path[n]) && !a.folder.empty() && isSeparator(a.folder.back())) ++n;
        result = a.folder + std::string(path.substr(n));
    }
    return best;
}

// "/~ann/a/b.htm" through the alias "/~" on "/home/$1/www": the first word
// after the alias replaces "$1", the rest follows.
std::string mapThroughDollar(const AliasEntry& a, std::string_view path) {
    std::string_view rest = path.substr(std::min(a.path.size(), path.size()));
    while (!rest.empty() && isSeparator(rest.front())) rest.remove_prefix(1);
    std::size_t slash = rest.find('/');
    std::string_view word = rest.substr(0, slash);
    std::string_view after = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    return substituteDollarOne(a.folder, word) + "/" + std::string(after);
}

// A missing ".htm" is served as its ".html" twin and the other way round.
// Returns the stamp of `result` as it is left.
FileStamp tryHtmlTwin(std::string& result) {
    FileStamp stamp = fileSizeAndDate(result);
    if (stamp.size > 0) return stamp;
    std::string_view ext = fileExtension(result);
    std::string twin;
    if (equalsNoCase(ext, "htm"))
        twin = result + "l";
    else if (equalsNoCase(ext, "html"))
        twin = result.substr(0, result.size() - 1);
    if (twin.empty()) return stamp;
    FileStamp twinStamp = fileSizeAndDate(twin);
    if (twinStamp.size == 0) return stamp;
    result = twin;
    return twinStamp;
}

bool passesHostRestriction(const Settings& s, const AliasEntry& a, const MappingContext& context) {
    if (a.access.empty() || equalsNoCase(a.access, "anywhere")) return true;
    debugPrint("Checking Access\r\n");
    std::string mask(hostRestriction(s, a.access).value_or("").substr(0, 98));
    if (mask.empty()) {
        debugPrint("Mask not found\r\n");
        return true;
    }
    debugPrintf("Maskname %s  Mask %s  OtherHost %s\r\n", a.access.c_str(), mask.c_str(),
                context.client ? std::string(*context.client).c_str() : "none");
    if (!addressInMask(mask, context.ownAddress, context.client)) {
        debugPrint("Not in mask\r\n");
        return false;
    }
    debugPrint("Mask OK\r\n");
    return true;
}

int checkOwner(const Settings& s, const AliasEntry& a, const MappingContext& context) {
    if (a.owner == "Anybody") return kMapped;
    if (!context.user) return kMapLoginNeeded;
    if (*context.user == a.owner || isUserInGroup(s, context.user, a.owner))
        return checkUserPassword(s, context.user, context.password) == 0 ? kMapped : kMapLoginNeeded;
    return checkExternalUser(s, context.user, context.password, a.owner) ? kMapped : kMapLoginNeeded;
}

}  // namespace

int aliasToDosDir(const Settings& s, std::string& path, std::string& result, const AliasEntry*& matched,
                  const MappingContext& context, std::optional<FileStamp>* stamp) {
    matched = nullptr;
    if (stamp) stamp->reset();
    collapseSeparators(path);
    if (namesDevice(path)) return kMapDevice;
    if (path.empty()) {
        result = s.gopherdir;
    } else if ((matched = findAlias(s, path, result))) {
        if (matched->folder.find('$') != std::string::npos) result = mapThroughDollar(*matched, path);
        // An alias folder with a long remainder is bounded like the root.
        if (result.size() >= kMaxLocalPath) return kMapTooLong;
    } else {
        std::string_view rest = path;
        if (!rest.empty() && isSeparator(rest.front())) rest.remove_prefix(1);
        if (context.root.size() + rest.size() >= kMaxLocalPath) return kMapTooLong;
        result = std::string(context.root) + std::string(rest);
    }
    for (char& c : result)
        if (c == '\\') c = '/';
    // After decoding and separator conversion, any ".." could climb out of
    // the folder; a NUL would cut the name the system opens.
    if (result.find("..") != std::string::npos || result.find('\0') != std::string::npos) return kMapDotDot;
    FileStamp seen = context.htmlTwin ? tryHtmlTwin(result) : fileSizeAndDate(result);
    if (matched && !passesHostRestriction(s, *matched, context)) return kMapHostRefused;
    if (!result.empty() && result.back() == '/') {
        result.pop_back();  // "name/" was looked at, not "name"
    } else if (stamp) {
        *stamp = seen;
    }
    return matched ? checkOwner(s, *matched, context) : kMapped;
}

FileStamp fileSizeAndDate(const std::string& name) {
    FileStamp stamp;
    struct stat st {};
    if (name.empty() || stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return stamp;
    stamp.size = static_cast<uint64_t>(st.st_size);
    stamp.mtime = st.st_mtime;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.modifiedNs = st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec;
    stamp.changedNs = st.st_ctim.tv_sec * 1'000'000'000LL + st.st_ctim.tv_nsec;
    toDosDateTime(st.st_mtime, stamp.dosDate, stamp.dosTime);
    return stamp;
}

std::string substituteDollarOne(std::string_view folder, std::string_view word) {
    std::string out;
    for (std::size_t i = 0; i < folder.size(); ++i) {
        if (folder[i] == '$' && i + 1 < folder.size() && folder[i + 1] == '1') {
            out += word;
            ++i;
        } else {
            out += folder[i];
        }
    }
    return out;
}

}  // namespace qv
