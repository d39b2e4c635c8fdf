#include "engine/platform/named_event.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "engine/platform/runtime_dir.h"

namespace qv {

// Nothing in the record is ever locked: a process may die at any instant
// without leaving it unusable for the others.
struct NamedEvent::Record {
    uint32_t magic;
    uint32_t signalled;
    uint32_t generation;  // moves on every signal; waiters sleep on it (a futex)
};

namespace {

constexpr uint32_t kEventMagic = 0x32455651;  // "QVE2"
constexpr int kWaitSliceMs = 1000;

uint32_t load(const uint32_t& field) { return __atomic_load_n(&field, __ATOMIC_ACQUIRE); }
void store(uint32_t& field, uint32_t value) { __atomic_store_n(&field, value, __ATOMIC_RELEASE); }

// The record is shared between processes, so the futex calls are the
// shared (not the process-private) kind.
void futexWait(uint32_t* word, uint32_t expected, int timeoutMs) {
    timespec slice {timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
    syscall(SYS_futex, word, FUTEX_WAIT, expected, &slice, nullptr, 0);
}

void futexWakeAll(uint32_t* word) { syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0); }

}  // namespace

NamedEvent::NamedEvent(const std::string& runtimeFolder, const std::string& name) {
    std::string path = joinPath(runtimeFolder, name);
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    // Creation is serialised by flock so that exactly one opener initialises
    // the record and nobody maps a half-initialised one.
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat st {};
    bool fresh = fstat(fd_, &st) != 0 || st.st_size != static_cast<off_t>(sizeof(Record));
    if (fresh && ftruncate(fd_, sizeof(Record)) != 0) {
        error_ = errno;
    } else {
        void* map = mmap(nullptr, sizeof(Record), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (map == MAP_FAILED) {
            error_ = errno;
        } else {
            record_ = static_cast<Record*>(map);
            if (fresh || load(record_->magic) != kEventMagic) {
                store(record_->signalled, 0);
                store(record_->generation, 0);
                store(record_->magic, kEventMagic);
            }
        }
    }
    flock(fd_, LOCK_UN);
}

NamedEvent::~NamedEvent() {
    if (record_) munmap(record_, sizeof(Record));
    if (fd_ >= 0) close(fd_);
}

void NamedEvent::signal() {
    if (!record_) return;
    store(record_->signalled, 1);
    __atomic_fetch_add(&record_->generation, 1, __ATOMIC_ACQ_REL);
    futexWakeAll(&record_->generation);
}

void NamedEvent::reset() {
    if (record_) store(record_->signalled, 0);
}

bool NamedEvent::isSignalled() { return record_ && load(record_->signalled) != 0; }

bool NamedEvent::wait(const std::atomic<bool>& stop) {
    if (!record_) {
        // No shared record: nothing can signal us; wait for stop only.
        while (!stop.load()) {
            timespec ts {0, 50 * 1000000L};
            nanosleep(&ts, nullptr);
        }
        return false;
    }
    const uint32_t start = load(record_->generation);
    // A signal between reading `start` and sleeping has moved the
    // generation, and the futex then does not sleep at all.
    while (!load(record_->signalled) && load(record_->generation) == start && !stop.load())
        futexWait(&record_->generation, start, kWaitSliceMs);
    bool signalled = load(record_->signalled) != 0 || load(record_->generation) != start;
    return signalled && !stop.load();
}

void NamedEvent::wakeWaiters() {
    if (record_) futexWakeAll(&record_->generation);
}

}  // namespace qv
