#include "engine/http/hit_count_store.h"

#include <cstdio>

#include "engine/platform/named_mutex.h"
#include "engine/platform/profile.h"

namespace qv {

namespace {

constexpr std::size_t kPadTo = 40;
// Counts are rewritten often: atomically, without waiting for the disk.
constexpr bool kUnsynced = false;

std::string leftAligned(int32_t count) {
    char text[32];
    std::snprintf(text, sizeof text, "%-9ld", static_cast<long>(count));
    return text;
}

}  // namespace

std::string centralCountValue(int32_t count, const std::string& key, const std::string& startDate) {
    std::string pad(key.size() < kPadTo ? kPadTo - key.size() : 0, ' ');
    return leftAligned(count) + " " + pad + startDate;
}

HitCountStore::HitCountStore(std::string runtimeFolder)
    : runtimeFolder_(std::move(runtimeFolder)), writer_([this] { writerLoop(); }) {}

HitCountStore::~HitCountStore() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    writer_.join();
    flush();
}

HitCountStore::Waiting HitCountStore::waiting(Kind kind, const std::string& file, const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto f = waiting_.find({kind, file});
    if (f == waiting_.end()) return {};
    auto e = f->second.find(key);
    return e == f->second.end() ? Waiting {} : e->second;
}

void HitCountStore::add(Kind kind, const std::string& file, const std::string& key, const std::string& startDate) {
    std::lock_guard lock(mutex_);
    Waiting& w = waiting_[{kind, file}][key];
    if (w.hits++ == 0) w.startDate = startDate;
    wake_.notify_all();
}

void HitCountStore::writeAll(Entries& entries) {
    for (auto& [where, keys] : entries) {
        ProfileFile file(where.second, kUnsynced);
        for (auto& [key, w] : keys) {
            if (where.first == Kind::kLocal) {
                int32_t count = profileNumber(file.getString("counts", key, "", 64)) + w.hits;
                file.writeString("counts", key, leftAligned(count));
                if (!file.hasKey("count", "StartDate")) file.writeString("count", "StartDate", w.startDate);
                continue;
            }
            // The entry as the file has it now: another engine may have
            // made it or counted meanwhile.
            std::string value = file.getString("Commands", key, "", 512);
            std::size_t blank = value.find(' ');
            std::string date = w.startDate;
            if (!value.empty() && blank != std::string::npos) {
                std::string rest = value.substr(blank + 1);
                date = rest.substr(std::min(rest.size(), rest.find_first_not_of(' ')));
            }
            int32_t count = profileNumber(value.substr(0, blank)) + w.hits;
            file.writeString("Commands", key, centralCountValue(count, key, date));
        }
    }
    entries.clear();
}

void HitCountStore::flush() {
    NamedMutex across(runtimeFolder_, "QVX_HCOUNT_MUTEX");
    std::lock_guard machine(across);
    std::lock_guard lock(mutex_);
    writeAll(waiting_);
}

void HitCountStore::writerLoop() {
    std::unique_lock lock(mutex_);
    while (!ending_) {
        // Sleeps until there is something to write, then lets hits gather
        // for a while; the wait ends early only when the engine goes.
        wake_.wait(lock, [this] { return ending_ || !waiting_.empty(); });
        if (wake_.wait_for(lock, kWriteEvery, [this] { return ending_; })) break;
        lock.unlock();
        flush();
        lock.lock();
    }
}

}  // namespace qv
