// SocketInfoList: what every connection is doing, in a table shared by every
// engine on the runtime folder (the file "SocketInfoList", 64 records of 432
// bytes, little-endian).  A record belongs to the thread of its connection;
// registration clears it.  Writers in this process go through the functions
// below, which serialise with the report so that it never reads a text
// halfway written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/platform/shared_table.h"

namespace qv {

struct Engine;

struct SocketInfo {
    int32_t inUse;          // 1 in use, 0 free
    uint32_t serverKind;
    char peerAddress[16];   // at most 16 characters; the terminator may fall on `reserved`
    char reserved[128];
    char activity[256];     // at most 128 characters
    char user[16];          // at most 15 characters
    int32_t bytesSent;
    int32_t fileSize;
};

static_assert(sizeof(SocketInfo) == 432);
static_assert(offsetof(SocketInfo, serverKind) == 4);
static_assert(offsetof(SocketInfo, peerAddress) == 8);
static_assert(offsetof(SocketInfo, reserved) == 24);
static_assert(offsetof(SocketInfo, activity) == 152);
static_assert(offsetof(SocketInfo, user) == 408);
static_assert(offsetof(SocketInfo, bytesSent) == 424);
static_assert(offsetof(SocketInfo, fileSize) == 428);

constexpr int kSocketInfoRecords = 64;
constexpr std::size_t kSocketInfoBytes = kSocketInfoRecords * sizeof(SocketInfo);  // 27648

class SocketInfoList {
public:
    // Maps the table (printing the diagnostic on failure; the engine then
    // runs without it) and clears every record.
    void create(const std::string& runtimeFolder);
    void release() { table_.release(); }
    // Record i, or null when the table is not mapped.
    SocketInfo* record(int i) const;
    // A copy of record i taken with this process's writers held off; all
    // zero when the table is not mapped.
    SocketInfo snapshot(int i) const;

private:
    SharedTable table_;
};

// Record writers; each accepts a null record and does nothing then.
void clearSocketInfo(SocketInfo* info);
void setSocketPeer(SocketInfo* info, std::string_view peerAddress, uint32_t kind);
void setSocketInUse(SocketInfo* info, bool inUse);
void setSocketActivity(SocketInfo* info, std::string_view text);
void setSocketUser(SocketInfo* info, std::string_view user);
void addSocketBytes(SocketInfo* info, uint64_t bytes);
void setSocketFileSize(SocketInfo* info, uint64_t size);

// The text report of every record in use and the engine-wide counts.  It
// grows with the records: 64 records of the widest fields make about 14 KB.
std::string socketInfoReport(const Engine& engine);

// Called after every change of the table; no host acts on it.
inline void socketInfoChanged() {}

}  // namespace qv
