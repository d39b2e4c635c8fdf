#include "engine/http/page_cache.h"

#include <ctime>

namespace qv {

namespace {

constexpr int64_t kSettledNs = 1'000'000'000;

int64_t nowNs() {
    timespec t {};
    clock_gettime(CLOCK_REALTIME, &t);
    return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

}  // namespace

bool sameFileState(const FileStamp& a, const FileStamp& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size && a.modifiedNs == b.modifiedNs &&
           a.changedNs == b.changedNs;
}

std::shared_ptr<const std::string> PageCache::find(const std::string& path, const FileStamp& stamp) {
    std::lock_guard lock(mutex_);
    auto it = pages_.find(path);
    if (it == pages_.end()) return nullptr;
    if (sameFileState(it->second.stamp, stamp)) return it->second.text;
    totalBytes_ -= it->second.text->size();
    pages_.erase(it);
    return nullptr;
}

void PageCache::keep(const std::string& path, const FileStamp& stamp, const std::string& text) {
    if (text.empty() || text.size() > kMaxPageBytes || text.size() != stamp.size) return;
    if (nowNs() - stamp.changedNs < kSettledNs) return;
    auto copy = std::make_shared<const std::string>(text);
    std::lock_guard lock(mutex_);
    if (auto it = pages_.find(path); it != pages_.end()) {
        totalBytes_ -= it->second.text->size();
        pages_.erase(it);
    }
    // Full: start over rather than track ages; the pages in use come back
    // with their next requests.
    if (totalBytes_ + text.size() > kMaxTotalBytes || pages_.size() >= kMaxPages) {
        pages_.clear();
        totalBytes_ = 0;
    }
    pages_.emplace(path, Entry {stamp, std::move(copy)});
    totalBytes_ += text.size();
}

}  // namespace qv
