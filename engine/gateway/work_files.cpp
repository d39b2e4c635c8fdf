#include "engine/gateway/work_files.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "engine/platform/runtime_dir.h"
#include "engine/platform/unique_fd.h"

namespace qv {

namespace {

constexpr int kNameAttempts = 100;

int createEmpty(const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    return fd.valid() ? 0 : errno;
}

// An id no other run of this process uses; another process (or a file left
// by a crash) can only collide by pid, and O_EXCL finds that.
std::string nextId() {
    static std::atomic<uint32_t> counter {0};
    char id[32];
    std::snprintf(id, sizeof id, "%x_%x", static_cast<unsigned>(getpid()), counter.fetch_add(1));
    return id;
}

}  // namespace

WorkFiles::~WorkFiles() {
    if (keep) return;
    for (const std::string* path : {&content, &profile, &error, &output})
        if (!path->empty()) unlink(path->c_str());
    for (const auto& path : externals) unlink(path.c_str());
}

int createWorkFiles(const std::string& tempFolder, WorkFiles& files) {
    const std::string folder = absolutePath(tempFolder);  // programs start in folders of their own
    int err = EEXIST;
    for (int attempt = 0; attempt < kNameAttempts && err == EEXIST; ++attempt) {
        const std::string id = nextId();
        std::string* slots[] = {&files.output, &files.error, &files.content, &files.profile};
        const char* prefixes[] = {"CGIou", "CGIer", "CGIco", "CGIin"};
        err = 0;
        for (std::size_t i = 0; i < 4 && err == 0; ++i) {
            std::string path = joinPath(folder, prefixes[i] + id + ".qvx");
            err = createEmpty(path);
            if (err == 0) *slots[i] = std::move(path);
        }
        if (err == 0) return 0;
        for (std::string* slot : slots) {
            if (!slot->empty()) unlink(slot->c_str());
            slot->clear();
        }
    }
    return err;
}

int writeWorkFile(const std::string& path, std::string_view text) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.valid()) return errno;
    while (!text.empty()) {
        ssize_t n = write(fd.get(), text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

}  // namespace qv
