// A fixed-size table of bytes shared by every engine on the runtime folder:
// the file NAME in that folder, sized to the table and mapped MAP_SHARED.
#pragma once

#include <cstddef>
#include <string>

namespace qv {

class SharedTable {
public:
    SharedTable() = default;
    ~SharedTable() { release(); }
    SharedTable(const SharedTable&) = delete;
    SharedTable& operator=(const SharedTable&) = delete;

    // Returns 0 when mapped.  On failure returns 1 when the file could not be
    // created or sized, 2 when it could not be mapped, and `error()` holds
    // the errno.
    int create(const std::string& runtimeFolder, const std::string& name, std::size_t size);
    void release();

    void* data() const { return data_; }
    std::size_t size() const { return size_; }
    int error() const { return error_; }

private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
    int error_ = 0;
};

}  // namespace qv
