// A manual-reset event shared by every engine on the runtime folder, across
// processes: a small record in the file NAME, mapped MAP_SHARED, holding the
// signalled flag and a generation counter that waiters sleep on with a
// futex.  No lock is ever held in it, so an engine killed at any point
// leaves it working for every other one.
//
// Semantics: signal() sets the flag and wakes every waiter in every process;
// the flag stays set until some holder calls reset().  A waiter also wakes
// when the generation moved since it began to wait, so a signal that another
// engine resets at once still wakes every engine that was waiting.  Signals
// that arrive while a waiter is busy (not waiting) and that are reset before
// it waits again are absorbed.
#pragma once

#include <atomic>
#include <string>

namespace qv {

class NamedEvent {
public:
    NamedEvent(const std::string& runtimeFolder, const std::string& name);
    ~NamedEvent();
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    bool valid() const { return record_ != nullptr; }
    int error() const { return error_; }

    void signal();
    void reset();
    bool isSignalled();

    // Returns true when the event was signalled, false when `stop` became
    // true.  Waits in bounded slices and re-checks.
    bool wait(const std::atomic<bool>& stop);

    // Wakes this event's waiters without signalling, so that they re-check
    // their stop flag.  Set the flag first.
    void wakeWaiters();

    struct Record;

private:
    Record* record_ = nullptr;
    int fd_ = -1;
    int error_ = 0;
};

}  // namespace qv
