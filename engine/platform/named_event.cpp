#include "engine/platform/named_event.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/platform/runtime_dir.h"

namespace qv {

struct NamedEvent::Record {
    uint32_t magic;
    uint32_t signalled;
    uint64_t generation;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
};

namespace {

constexpr uint32_t kEventMagic = 0x51564556;  // "QVEV"
constexpr int kWaitSliceMs = 1000;

void initialiseRecord(NamedEvent::Record* rec) {
    pthread_mutexattr_t ma;
    pthread_mutexattr_init(&ma);
    pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&rec->mutex, &ma);
    pthread_mutexattr_destroy(&ma);

    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&rec->cond, &ca);
    pthread_condattr_destroy(&ca);

    rec->signalled = 0;
    rec->generation = 0;
    __atomic_store_n(&rec->magic, kEventMagic, __ATOMIC_RELEASE);
}

timespec deadlineAfterMs(int ms) {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

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
            if (fresh || __atomic_load_n(&record_->magic, __ATOMIC_ACQUIRE) != kEventMagic)
                initialiseRecord(record_);
        }
    }
    flock(fd_, LOCK_UN);
}

NamedEvent::~NamedEvent() {
    if (record_) munmap(record_, sizeof(Record));
    if (fd_ >= 0) close(fd_);
}

void NamedEvent::lock() {
    // A holder that died leaves the robust mutex in EOWNERDEAD; the record's
    // fields are plain flags that are valid at every instant, so recover it.
    if (pthread_mutex_lock(&record_->mutex) == EOWNERDEAD) pthread_mutex_consistent(&record_->mutex);
}

void NamedEvent::unlock() { pthread_mutex_unlock(&record_->mutex); }

void NamedEvent::signal() {
    if (!record_) return;
    lock();
    record_->signalled = 1;
    record_->generation++;
    pthread_cond_broadcast(&record_->cond);
    unlock();
}

void NamedEvent::reset() {
    if (!record_) return;
    lock();
    record_->signalled = 0;
    unlock();
}

bool NamedEvent::isSignalled() {
    if (!record_) return false;
    lock();
    bool set = record_->signalled != 0;
    unlock();
    return set;
}

bool NamedEvent::wait(const std::atomic<bool>& stop) {
    if (!record_) {
        // No shared record: nothing can signal us; wait for stop only.
        while (!stop.load()) {
            timespec ts {0, 50 * 1000000L};
            nanosleep(&ts, nullptr);
        }
        return false;
    }
    lock();
    uint64_t start = record_->generation;
    while (!record_->signalled && record_->generation == start && !stop.load()) {
        timespec deadline = deadlineAfterMs(kWaitSliceMs);
        if (pthread_cond_timedwait(&record_->cond, &record_->mutex, &deadline) == EOWNERDEAD)
            pthread_mutex_consistent(&record_->mutex);
    }
    bool signalled = record_->signalled || record_->generation != start;
    unlock();
    return signalled && !stop.load();
}

void NamedEvent::wakeWaiters() {
    if (!record_) return;
    lock();
    pthread_cond_broadcast(&record_->cond);
    unlock();
}

}  // namespace qv
