// Hits counted but not yet written.  Counting a hit only adds to this
// table; a writer thread of the engine adds the table to the files about
// once a second (and when the engine goes), each file rewritten once for
// all its hits, under the machine-wide hit-count mutex.  The values are
// added to what the file holds at that moment, so the hits of several
// engines on one machine all count.  Readers add the hits waiting here to
// what the files hold, so a page never shows less than was counted.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace qv {

class HitCountStore {
public:
    explicit HitCountStore(std::string runtimeFolder);
    ~HitCountStore();  // writes what waits, then ends the writer
    HitCountStore(const HitCountStore&) = delete;
    HitCountStore& operator=(const HitCountStore&) = delete;

    // Which entry of which file: the central counts.qvx ([Commands], value
    // with padding and start date) or a folder's access.qac ([counts]).
    enum class Kind { kCentral, kLocal };
    struct Waiting {
        int32_t hits = 0;
        std::string startDate;  // the entry's, written with it
    };

    // The hits waiting for that entry (none: 0 hits).  A reader adds them
    // to what it read from the file; a write in between can make a page
    // show a count one second off, never the count that is written.
    Waiting waiting(Kind kind, const std::string& file, const std::string& key) const;
    void add(Kind kind, const std::string& file, const std::string& key, const std::string& startDate);

    // Writes every waiting hit now.
    void flush();

    static constexpr std::chrono::milliseconds kWriteEvery{1000};

private:
    using Entries = std::map<std::pair<Kind, std::string>, std::map<std::string, Waiting>>;
    void writeAll(Entries& entries);  // with mutex_ and the named mutex held
    void writerLoop();

    const std::string runtimeFolder_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    Entries waiting_;
    bool ending_ = false;
    std::thread writer_;
};

}  // namespace qv
