#include "engine/core/socket_info.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

#include "engine/core/engine.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/named_mutex.h"

namespace qv {

namespace {

// Serialises this process's writes to records with the report's reads.
std::mutex recordMutex;

// Copies at most `limit` characters and stores a terminator right after.
void copyField(char* field, std::string_view text, std::size_t limit) {
    std::size_t n = std::min(text.size(), limit);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

std::string fieldText(const char* field, std::size_t limit) {
    return std::string(field, strnlen(field, limit));
}

// The claim fields are written by engines in other processes too.
std::atomic_ref<int32_t> shared(int32_t& field) { return std::atomic_ref<int32_t>(field); }

bool processAlive(int32_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

// Clears what a record says about its connection, keeping the claim.
void clearContent(SocketInfo* r) {
    r->serverKind = 0;
    std::memset(r->peerAddress, 0, sizeof r->peerAddress);
    std::memset(r->reserved, 0, sizeof r->reserved);
    std::memset(r->activity, 0, sizeof r->activity);
    std::memset(r->user, 0, sizeof r->user);
    r->bytesSent = 0;
    r->fileSize = 0;
}

// Records 1 to 63 are taken by swapping their in-use flag from 0 to 1;
// record 0 by its holder count going from 0 to 1.
bool tryClaim(SocketInfo* r, bool shareable) {
    std::lock_guard lock(recordMutex);
    int32_t expected = 0;
    if (!shared(shareable ? r->holders : r->inUse).compare_exchange_strong(expected, 1)) return false;
    clearContent(r);
    shared(r->ownerPid).store(static_cast<int32_t>(getpid()));
    shared(r->inUse).store(1);
    return true;
}

}  // namespace

void SocketInfoList::create(const std::string& runtimeFolder) {
    int rc = table_.create(runtimeFolder, "SocketInfoList", kSocketInfoBytes);
    if (rc == 1)
        debugPrint("Error creating memory mapping for socket info\r\n  " + systemErrorText(table_.error()));
    else if (rc == 2)
        debugPrint("Error creating map view of socket info\r\n  " + systemErrorText(table_.error()));
}

void SocketInfoList::clearAbandoned() {
    std::lock_guard lock(recordMutex);
    for (int i = 0; i < kSocketInfoRecords; ++i) {
        SocketInfo* r = record(i);
        if (!r) return;
        if (shared(r->inUse).load() != 0 && !processAlive(shared(r->ownerPid).load())) {
            std::memset(r, 0, sizeof *r);
        }
    }
}

SocketInfo* SocketInfoList::record(int i) const {
    if (!table_.data() || i < 0 || i >= kSocketInfoRecords) return nullptr;
    return static_cast<SocketInfo*>(table_.data()) + i;
}

SocketInfo SocketInfoList::snapshot(int i) const {
    SocketInfo copy {};
    std::lock_guard lock(recordMutex);
    if (const SocketInfo* r = record(i)) copy = *r;
    return copy;
}

int SocketInfoList::claim(int& cursor, NamedMutex& acrossEngines) {
    if (!table_.data()) return 0;
    for (int tries = 0; tries < kSocketInfoRecords - 1; ++tries) {
        cursor = (cursor + 1) % kSocketInfoRecords;
        if (cursor != 0 && tryClaim(record(cursor), false)) return cursor;
        if (cursor == 0) {
            std::lock_guard sharedLock(acrossEngines);
            if (tryClaim(record(0), true)) return 0;
        }
    }
    SocketInfo* first = record(0);
    std::lock_guard sharedLock(acrossEngines);
    std::lock_guard lock(recordMutex);
    if (shared(first->holders).fetch_add(1) == 0) clearContent(first);
    shared(first->ownerPid).store(static_cast<int32_t>(getpid()));
    shared(first->inUse).store(1);
    return 0;
}

void SocketInfoList::releaseRecord(int i, NamedMutex& acrossEngines) {
    SocketInfo* r = record(i);
    if (!r) return;
    std::unique_lock<NamedMutex> sharedLock(acrossEngines, std::defer_lock);
    if (i == 0) sharedLock.lock();
    std::lock_guard lock(recordMutex);
    if (i == 0) {
        int32_t holders = shared(r->holders).load();
        while (holders > 0 && !shared(r->holders).compare_exchange_weak(holders, holders - 1)) {
        }
        if (holders > 1) return;  // others still share it
    }
    shared(r->inUse).store(0);
}

void setSocketPeer(SocketInfo* info, std::string_view peerAddress, uint32_t kind) {
    if (!info) return;
    std::lock_guard lock(recordMutex);
    // 16 characters fit the field; the terminator falls on the reserved bytes.
    copyField(info->peerAddress, peerAddress, sizeof info->peerAddress);
    info->serverKind = kind;
}

void setSocketActivity(SocketInfo* info, std::string_view text) {
    if (!info) return;
    std::lock_guard lock(recordMutex);
    copyField(info->activity, text, 128);
}

void setSocketUser(SocketInfo* info, std::string_view user) {
    if (!info) return;
    std::lock_guard lock(recordMutex);
    copyField(info->user, user, 15);
}

void addSocketBytes(SocketInfo* info, uint64_t bytes) {
    if (!info) return;
    std::lock_guard lock(recordMutex);
    info->bytesSent = static_cast<int32_t>(static_cast<uint32_t>(info->bytesSent) + static_cast<uint32_t>(bytes));
}

int32_t socketBytes(const SocketInfo* info) {
    if (!info) return 0;
    std::lock_guard lock(recordMutex);
    return info->bytesSent;
}

void setSocketFileSize(SocketInfo* info, uint64_t size) {
    if (!info) return;
    std::lock_guard lock(recordMutex);
    info->fileSize = static_cast<int32_t>(static_cast<uint32_t>(size));
}

std::string socketInfoReport(const Engine& engine) {
    std::string out = "------- Socket Info --------\r\n";
    out += "Type User     OtherHost        Object           Sent     Size\r\n";
    for (int i = 0; i < kSocketInfoRecords; ++i) {
        const SocketInfo r = engine.socketInfo.snapshot(i);
        if (r.inUse != 1) continue;
        char line[512];
        std::snprintf(line, sizeof line, "  %2d %-8s %-16s %-16s %9ld %9ld\r\n", static_cast<int>(r.serverKind),
                      fieldText(r.user, sizeof r.user).c_str(),
                      fieldText(r.peerAddress, sizeof r.peerAddress + sizeof r.reserved).c_str(),
                      fieldText(r.activity, sizeof r.activity).c_str(), static_cast<long>(r.bytesSent),
                      static_cast<long>(r.fileSize));
        out += line;
    }
    char totals[160];
    std::snprintf(totals, sizeof totals,
                  "\r\n Open Connections: %ld\r\n             Peak: %ld\r\nTotal Connections: %ld\r\n",
                  static_cast<long>(engine.openConnections.load()), static_cast<long>(engine.peakConnections.load()),
                  static_cast<long>(engine.totalConnections.load()));
    return out + totals;
}

}  // namespace qv
