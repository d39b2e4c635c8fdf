#include "engine/core/thread_cache.h"

#include <system_error>
#include <thread>

namespace qv {

bool ThreadCache::start(std::function<void()>&& body) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
        if (idle_ > static_cast<int>(queue_.size())) {
            queue_.push_back(std::move(body));
            wake_.notify_one();
            return true;
        }
        ++threads_;
    }
    try {
        std::thread(&ThreadCache::work, this, std::move(body)).detach();
        return true;
    } catch (const std::system_error&) {
        std::lock_guard lock(mutex_);
        --threads_;
        gone_.notify_all();
        return false;
    }
}

void ThreadCache::work(std::function<void()> body) {
    for (;;) {
        body();
        body = nullptr;
        std::unique_lock lock(mutex_);
        if (!stopping_ && idle_ < kMaxIdle) {
            ++idle_;
            wake_.wait_for(lock, kIdleWait, [this] { return stopping_ || !queue_.empty(); });
            --idle_;
        }
        if (stopping_ || queue_.empty()) {
            // Touches nothing of the cache after this: stop() may return as
            // soon as the lock is released.
            --threads_;
            gone_.notify_all();
            return;
        }
        body = std::move(queue_.front());
        queue_.pop_front();
    }
}

void ThreadCache::stop() {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
    gone_.wait(lock, [this] { return threads_ == 0; });
}

}  // namespace qv
