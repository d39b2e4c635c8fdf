#include "engine/core/append_files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "engine/core/files.h"

namespace qv {

std::shared_ptr<UniqueFd> AppendFiles::current(const std::string& path) {
    struct stat named {};
    const bool exists = stat(path.c_str(), &named) == 0;
    std::lock_guard lock(mutex_);
    auto it = held_.find(path);
    if (it != held_.end() && exists && it->second.device == named.st_dev && it->second.inode == named.st_ino)
        return it->second.fd;
    if (it != held_.end()) held_.erase(it);
    auto fd = std::make_shared<UniqueFd>(openForAppend(path));
    struct stat opened {};
    if (!fd->valid() || fstat(fd->get(), &opened) != 0) return nullptr;
    if (held_.size() >= kMaxOpen) held_.clear();
    held_[path] = Held {fd, opened.st_dev, opened.st_ino};
    return fd;
}

int AppendFiles::append(const std::string& path, std::string_view line) {
    if (line.empty()) return 0;
    std::shared_ptr<UniqueFd> fd = current(path);
    return fd ? appendTo(fd->get(), path, line) : -1;
}

void AppendFiles::closeAll() {
    std::lock_guard lock(mutex_);
    held_.clear();
}

}  // namespace qv
