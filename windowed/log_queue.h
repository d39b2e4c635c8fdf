// Diagnostic texts handed from any thread to the user-interface thread.
// A printing thread never waits for the window: it queues the text and goes
// on, so an engine thread can never hang on a busy or modal user interface
// (and stopping the engine from that interface can never wait on a thread
// that waits on it).  A full queue drops texts and counts them.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

class LogQueue {
public:
    explicit LogQueue(std::size_t capacity) : capacity_(capacity) {}

    // Queues a copy of the text.  True when the queue was empty before, so
    // the caller asks the user-interface thread to take what is queued.
    bool push(std::string_view text);

    struct Batch {
        std::vector<std::string> texts;  // oldest first
        std::size_t dropped = 0;         // texts lost to a full queue since the last take
        bool more = false;               // texts are left for the next take
    };
    // Takes up to `max` texts.
    Batch take(std::size_t max);

private:
    std::mutex mutex_;
    std::deque<std::string> texts_;
    std::size_t dropped_ = 0;
    const std::size_t capacity_;
};

}  // namespace qv
