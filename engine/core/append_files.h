// Files appended to a line at a time whose descriptors stay open between
// lines (the request logs).  Each line goes out in one write on an
// O_APPEND descriptor, which the system appends whole, so lines of several
// threads and engines never interleave.  Before each line the path is
// looked up again: when it names another file than the one held (rotated
// by CycleLogs or logrotate) or none, the file at the path is opened
// (created when missing), so rotation is followed at the next line.
// A line that a full disk cuts off is taken back (see appendTo); should
// another thread or engine append to the same file in that moment, its
// line could be taken back with it.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>

#include "engine/platform/unique_fd.h"

namespace qv {

class AppendFiles {
public:
    // Appends the line; 0, or -1 after the diagnostics appendToFile gives.
    int append(const std::string& path, std::string_view line);

    // Closes every held descriptor.
    void closeAll();

    // Descriptors held at most; past it all are closed and opened again as
    // lines come.
    static constexpr std::size_t kMaxOpen = 256;

private:
    struct Held {
        std::shared_ptr<UniqueFd> fd;  // shared with appends under way
        dev_t device = 0;
        ino_t inode = 0;
    };
    // The descriptor for the file the path names now; null when it cannot
    // be opened.  The lines are written outside the lock.
    std::shared_ptr<UniqueFd> current(const std::string& path);

    std::mutex mutex_;
    std::unordered_map<std::string, Held> held_;
};

}  // namespace qv
