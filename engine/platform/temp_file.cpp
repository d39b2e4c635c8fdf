#include "engine/platform/temp_file.h"

#include <atomic>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "engine/platform/runtime_dir.h"

namespace qv {

UniqueFd uniqueTempFile(const std::string& folder, const std::string& prefix, std::string& path) {
    static std::atomic<uint64_t> counter{0};
    const unsigned pid = static_cast<unsigned>(getpid());
    // Bounded: each attempt uses a fresh counter value; only files left by
    // an earlier process of the same pid can collide, and 10000 of them in
    // a row means trouble.
    for (int attempt = 0; attempt < 10000; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "%x-%llx.tmp", pid,
                      static_cast<unsigned long long>(counter.fetch_add(1)));
        path = joinPath(folder, prefix + name);
        UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd.valid()) return fd;
        if (errno != EEXIST) break;
    }
    path.clear();
    return UniqueFd();
}

}  // namespace qv
