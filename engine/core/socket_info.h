// SocketInfoList: what every connection is doing, in a table shared by every
// engine on the runtime folder (the file "SocketInfoList", 64 records of 432
// bytes, little-endian).  A record belongs to the thread of its connection.
// Writers in this process go through the functions below, which serialise
// with the report so that it never reads a text halfway written.
//
// Records are claimed in the table itself, so engines in different processes
// never hold the same record: records 1 to 63 by a compare-and-swap of the
// in-use flag, record 0 by its holder count, since connections past the 64th
// share it.  The owner's process id marks records a crashed engine left
// behind; a starting engine clears only those.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/platform/shared_table.h"

namespace qv {

struct Engine;
class NamedMutex;

struct SocketInfo {
    int32_t inUse;          // 1 in use, 0 free
    uint32_t serverKind;
    char peerAddress[16];   // at most 16 characters; the terminator may fall on `reserved`
    char reserved[120];     // zero; the peer address's terminator may fall on its first byte
    int32_t ownerPid;       // process of the engine that claimed the record
    int32_t holders;        // record 0: connections sharing it
    char activity[256];     // at most 128 characters
    char user[16];          // at most 15 characters
    int32_t bytesSent;
    int32_t fileSize;
};

static_assert(sizeof(SocketInfo) == 432);
static_assert(offsetof(SocketInfo, serverKind) == 4);
static_assert(offsetof(SocketInfo, peerAddress) == 8);
static_assert(offsetof(SocketInfo, reserved) == 24);
static_assert(offsetof(SocketInfo, ownerPid) == 144);
static_assert(offsetof(SocketInfo, holders) == 148);
static_assert(offsetof(SocketInfo, activity) == 152);
static_assert(offsetof(SocketInfo, user) == 408);
static_assert(offsetof(SocketInfo, bytesSent) == 424);
static_assert(offsetof(SocketInfo, fileSize) == 428);

constexpr int kSocketInfoRecords = 64;
constexpr std::size_t kSocketInfoBytes = kSocketInfoRecords * sizeof(SocketInfo);  // 27648

class SocketInfoList {
public:
    // Maps the table, printing the diagnostic on failure; the engine then
    // runs without it.
    void create(const std::string& runtimeFolder);
    void release() { table_.release(); }
    // Clears the records whose owning process is gone.  Hold the count mutex.
    void clearAbandoned();
    // Record i, or null when the table is not mapped.
    SocketInfo* record(int i) const;
    // A copy of record i taken with this process's writers held off; all
    // zero when the table is not mapped.
    SocketInfo snapshot(int i) const;

    // Claims a free record, searching from the one after `cursor` (which
    // moves on), and clears its texts and counts.  Without a free record the
    // connection shares record 0.  Returns the record's index.  Records 1
    // to 63 are claimed lock-free; record 0's holder count changes only
    // under `acrossEngines`, the count mutex of every engine on the runtime
    // folder.
    int claim(int& cursor, NamedMutex& acrossEngines);
    // Gives record i back; record 0 stays in use while others share it.
    void releaseRecord(int i, NamedMutex& acrossEngines);

private:
    SharedTable table_;
};

// Record writers; each accepts a null record and does nothing then.
void setSocketPeer(SocketInfo* info, std::string_view peerAddress, uint32_t kind);
void setSocketActivity(SocketInfo* info, std::string_view text);
void setSocketUser(SocketInfo* info, std::string_view user);
void addSocketBytes(SocketInfo* info, uint64_t bytes);
void setSocketFileSize(SocketInfo* info, uint64_t size);
// The record's bytes-sent field; 0 for a null record.
int32_t socketBytes(const SocketInfo* info);

// The text report of every record in use and the engine-wide counts.  It
// grows with the records: 64 records of the widest fields make about 14 KB.
std::string socketInfoReport(const Engine& engine);

// Called after every change of the table; no host acts on it.
inline void socketInfoChanged() {}

}  // namespace qv
