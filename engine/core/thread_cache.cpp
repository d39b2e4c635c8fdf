#include "engine/core/thread_cache.h"

#include <memory>
#include <pthread.h>

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
    if (startDetached(this, std::move(body))) return true;
    std::lock_guard lock(mutex_);
    --threads_;
    gone_.notify_all();
    return false;
}

namespace {

// What a new thread runs: the cache's work loop with its first body.
struct Launch {
    ThreadCache* cache;
    std::function<void()> body;
};

}  // namespace

void* ThreadCache::runLaunched(void* argument) {
    std::unique_ptr<Launch> launch(static_cast<Launch*>(argument));
    launch->cache->work(std::move(launch->body));
    return nullptr;
}

bool ThreadCache::startDetached(ThreadCache* cache, std::function<void()>&& body) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, kConnectionStackBytes);
    auto launch = std::make_unique<Launch>(Launch {cache, std::move(body)});
    pthread_t thread;
    int rc = pthread_create(&thread, &attributes, &ThreadCache::runLaunched, launch.get());
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        body = std::move(launch->body);
        return false;
    }
    launch.release();  // the thread owns it now
    return true;
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
