#include "engine/platform/shared_table.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/platform/runtime_dir.h"
#include "engine/platform/unique_fd.h"

namespace qv {

int SharedTable::create(const std::string& runtimeFolder, const std::string& name, std::size_t size) {
    release();
    std::string path = joinPath(runtimeFolder, name);
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660));
    if (!fd.valid()) {
        error_ = errno;
        return 1;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 ||
        (st.st_size != static_cast<off_t>(size) && ftruncate(fd.get(), static_cast<off_t>(size)) != 0)) {
        error_ = errno;
        return 1;
    }
    // The mapping keeps the file alive once the descriptor is closed.
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    error_ = map == MAP_FAILED ? errno : 0;
    if (map == MAP_FAILED) return 2;
    data_ = map;
    size_ = size;
    return 0;
}

void SharedTable::release() {
    if (data_) munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
}

}  // namespace qv
