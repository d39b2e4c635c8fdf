#include "windowed/log_queue.h"

#include <utility>

namespace qv {

bool LogQueue::push(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (texts_.size() >= capacity_) {
        ++dropped_;
        return false;
    }
    texts_.emplace_back(text);
    // The first text after a take asks for the next one; a drop alone does
    // not, as a full queue has asked already.
    return texts_.size() == 1;
}

LogQueue::Batch LogQueue::take(std::size_t max) {
    Batch batch;
    std::lock_guard lock(mutex_);
    while (!texts_.empty() && batch.texts.size() < max) {
        batch.texts.push_back(std::move(texts_.front()));
        texts_.pop_front();
    }
    batch.dropped = std::exchange(dropped_, 0);
    batch.more = !texts_.empty();
    return batch;
}

}  // namespace qv
