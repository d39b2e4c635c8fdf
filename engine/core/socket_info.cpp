#include "engine/core/socket_info.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/core/engine.h"
#include "engine/log/strings.h"
#include "engine/output.h"

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

}  // namespace

void SocketInfoList::create(const std::string& runtimeFolder) {
    int rc = table_.create(runtimeFolder, "SocketInfoList", kSocketInfoBytes);
    if (rc == 1) {
        debugPrint("Error creating memory mapping for socket info\r\n  " + systemErrorText(table_.error()));
        return;
    }
    if (rc == 2) {
        debugPrint("Error creating map view of socket info\r\n  " + systemErrorText(table_.error()));
        return;
    }
    std::lock_guard lock(recordMutex);
    std::memset(table_.data(), 0, kSocketInfoBytes);
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

void clearSocketInfo(SocketInfo* info) {
    if (!info) return;
    std::lock_guard lock(recordMutex);
    std::memset(info, 0, sizeof *info);
}

void setSocketPeer(SocketInfo* info, std::string_view peerAddress, uint32_t kind) {
    if (!info) return;
    std::lock_guard lock(recordMutex);
    // 16 characters fit the field; the terminator falls on the reserved bytes.
    copyField(info->peerAddress, peerAddress, sizeof info->peerAddress);
    info->serverKind = kind;
}

void setSocketInUse(SocketInfo* info, bool inUse) {
    if (!info) return;
    std::lock_guard lock(recordMutex);
    info->inUse = inUse ? 1 : 0;
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
