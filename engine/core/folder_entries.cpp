#include "engine/core/folder_entries.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

#include "engine/log/dates.h"
#include "engine/platform/profile.h"

namespace qv {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

unsigned char foldCase(char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// Case-insensitive (A to Z only, so the order does not hang on the locale),
// then the exact bytes.
bool nameBefore(const FolderEntry& a, const FolderEntry& b) {
    std::size_t n = std::min(a.name.size(), b.name.size());
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = foldCase(a.name[i]), y = foldCase(b.name[i]);
        if (x != y) return x < y;
    }
    if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
    return a.name < b.name;
}

}  // namespace

bool listableName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    if (name.find_first_of("\r\n\t") != std::string::npos) return false;
    return !isWorkFileName(name);
}

std::string listingSizeText(uint64_t size) {
    char text[32];
    if (size < 1024)
        std::snprintf(text, sizeof text, "%4lu B ", static_cast<unsigned long>(size));
    else if (size < 1024000)
        std::snprintf(text, sizeof text, "%4lu kB", static_cast<unsigned long>(size / 1024));
    else
        std::snprintf(text, sizeof text, "%4lu MB", static_cast<unsigned long>(size / 1024000));
    return text;
}

std::optional<std::vector<FolderEntry>> readFolderEntries(const std::string& folder) {
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
    if (!dir) return std::nullopt;
    const int dirFd = dirfd(dir.get());
    std::vector<FolderEntry> entries;
    while (dirent* d = readdir(dir.get())) {
        std::string name = d->d_name;
        if (!listableName(name)) continue;
        struct stat st {};
        if (fstatat(dirFd, name.c_str(), &st, 0) != 0) continue;
        FolderEntry e;
        e.name = std::move(name);
        e.folder = S_ISDIR(st.st_mode);
        e.size = e.folder ? 0 : static_cast<uint64_t>(st.st_size);
        e.modified = st.st_mtime;
        toDosDateTime(st.st_mtime, e.dosDate, e.dosTime);
        entries.push_back(std::move(e));
    }
    std::sort(entries.begin(), entries.end(), nameBefore);
    return entries;
}

}  // namespace qv
