// Small pages kept in memory between requests.  A page is served from its
// copy only when the look the path mapping took at the file (one stat per
// request) still finds the same file, unchanged: same device and inode,
// size, modification and change times to the nanosecond.
//
// A file changed within the clock tick in which it was copied could keep
// all of those; so only files whose last change is at least a second old
// are copied, and any later change gives them a new change time.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "engine/config/path_mapping.h"

namespace qv {

class PageCache {
public:
    // The copy of the file at `path` if it is still the file `stamp`
    // describes; null otherwise.
    std::shared_ptr<const std::string> find(const std::string& path, const FileStamp& stamp);

    // Keeps `text`, read from the file `stamp` describes (a look taken
    // before it was read), when it is small and old enough.
    void keep(const std::string& path, const FileStamp& stamp, const std::string& text);

    static constexpr std::size_t kMaxPageBytes = 64 << 10;
    static constexpr std::size_t kMaxTotalBytes = 8 << 20;
    static constexpr std::size_t kMaxPages = 4096;

private:
    struct Entry {
        FileStamp stamp;
        std::shared_ptr<const std::string> text;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> pages_;
    std::size_t totalBytes_ = 0;
};

// Whether two looks found the same file, unchanged.
bool sameFileState(const FileStamp& a, const FileStamp& b);

}  // namespace qv
