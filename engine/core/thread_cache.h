// Connection threads kept for reuse.  Every connection still has a thread
// of its own for as long as it is served; a thread whose connection ended
// waits a while for the next one instead of ending, since creating a thread
// (stack mapping, clone, and unmapping it again) costs more than serving a
// small request.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace qv {

class ThreadCache {
public:
    ThreadCache() = default;
    ~ThreadCache() { stop(); }
    ThreadCache(const ThreadCache&) = delete;
    ThreadCache& operator=(const ThreadCache&) = delete;

    // Runs `body` on an idle thread, or on a new one; false when the system
    // refused a new thread (or the cache is stopping).
    bool start(std::function<void()>&& body);

    // Ends the idle threads and waits until every thread has left.  Bodies
    // still running are waited for: end their connections first.
    void stop();

private:
    // How long a finished thread waits for another connection, and how
    // many may wait at once; beyond either, the thread ends.
    static constexpr std::chrono::seconds kIdleWait{30};
    static constexpr int kMaxIdle = 64;

    // The loop of a cache thread: runs `body`, then waits for the next.
    void work(std::function<void()> body);

    // A connection thread's stack.  Connections need little of it (their
    // buffers live in the Connection), and a thousand of them at the
    // system's default of 8 MiB would reserve 8 GiB of address space.  The
    // sanitizers' instrumented frames need more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    static constexpr std::size_t kConnectionStackBytes = 2 << 20;
#else
    static constexpr std::size_t kConnectionStackBytes = 256 << 10;
#endif

    // Starts a detached thread with that stack running work(body); false
    // when the system refused it (`body` is left as it was).
    static bool startDetached(ThreadCache* cache, std::function<void()>&& body);
    static void* runLaunched(void* launch);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable gone_;
    std::deque<std::function<void()>> queue_;
    int idle_ = 0;
    int threads_ = 0;
    bool stopping_ = false;
};

}  // namespace qv
