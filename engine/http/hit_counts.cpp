#include "engine/http/hit_counts.h"

#include <cstdio>
#include <mutex>
#include <sys/stat.h>

#include "engine/core/engine.h"
#include "engine/log/dates.h"
#include "engine/platform/named_mutex.h"
#include "engine/platform/profile.h"

namespace qv {

namespace {

constexpr std::size_t kKeyLength = 259;
constexpr std::size_t kPadTo = 40;
// Counts are rewritten at every hit: atomically, but without waiting for
// the disk each time.
constexpr bool kUnsynced = false;

std::string centralFile(const Settings& s) {
    std::string folder = s.logdir;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder + "counts.qvx";
}

std::string leftAligned(int32_t count) {
    char text[32];
    std::snprintf(text, sizeof text, "%-9ld", static_cast<long>(count));
    return text;
}

// The file name and the folder's access file of the request's path.
void locate(HttpRequest& r) {
    std::string path = r.filePath;
    if (!path.empty() && path.back() == '/') path.pop_back();
    std::size_t slash = path.rfind('/');
    r.counter.fileKey = slash == std::string::npos ? path : path.substr(slash + 1);
    r.counter.accessFile = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "access.qac";
}

// A new central entry only for a request that served something that
// exists: probes and misses would otherwise grow the file without end.
bool servedSomething(const HttpRequest& r) {
    struct stat st {};
    return r.status == 200 && !r.filePath.empty() && stat(r.filePath.c_str(), &st) == 0;
}

NamedMutex& hitCountMutex(Engine& engine) {
    std::lock_guard lock(engine.hitCountMutexOnce);
    if (!engine.hitCountMutex)
        engine.hitCountMutex = std::make_unique<NamedMutex>(engine.options.runtimeFolder, "QVX_HCOUNT_MUTEX");
    return *engine.hitCountMutex;
}

}  // namespace

std::string centralCountValue(int32_t count, const std::string& key, const std::string& startDate) {
    std::string pad(key.size() < kPadTo ? kPadTo - key.size() : 0, ' ');
    return leftAligned(count) + " " + pad + startDate;
}

int32_t readCount(HttpRequest& r) {
    HttpRequest::Counter& k = r.counter;
    k = HttpRequest::Counter {};
    k.read = true;
    if (r.filePath.empty()) return 0;
    const Settings& s = *r.settings;
    r.hitStartDate = ctimeText(r.startTime);
    locate(r);
    if (s.localfilehits) {
        ProfileFile access(k.accessFile);
        if (access.hasKey("counts", k.fileKey)) {
            k.local = true;
            k.count = profileNumber(access.getString("counts", k.fileKey, "", 64));
            if (access.hasKey("count", "StartDate")) r.hitStartDate = access.getString("count", "StartDate", "", 260);
        }
    }
    const std::string key = counterKey(r).substr(0, kKeyLength);
    ProfileFile central(centralFile(s));
    if (!s.countfilehits || !central.hasKey("Commands", key)) return k.count;
    k.central = true;
    if (s.localfilehits && k.local) return k.count;
    std::string value = central.getString("Commands", key, "", 512);
    std::size_t blank = value.find(' ');
    k.count = profileNumber(value.substr(0, blank));
    std::string rest = blank == std::string::npos ? std::string() : value.substr(blank + 1);
    r.hitStartDate = rest.substr(std::min(rest.size(), rest.find_first_not_of(' ')));
    return k.count;
}

void countHit(HttpRequest& r) {
    HttpRequest::Counter& k = r.counter;
    const Settings& s = *r.settings;
    k.count++;
    if (s.localfilehits && k.local) {
        ProfileFile access(k.accessFile, kUnsynced);
        access.writeString("counts", k.fileKey, leftAligned(k.count));
        if (!access.hasKey("count", "StartDate")) access.writeString("count", "StartDate", r.hitStartDate);
    }
    const bool add = s.addtofilehits && !k.local && servedSomething(r);
    if (s.countfilehits && (k.central || add)) {
        const std::string key = counterKey(r).substr(0, kKeyLength);
        ProfileFile(centralFile(s), kUnsynced).writeString("Commands", key, centralCountValue(k.count, key, r.hitStartDate));
    }
}

void updateCounters(Engine& engine, HttpRequest& r) {
    const Settings& s = *r.settings;
    if (!s.countfilehits && !s.localfilehits) return;
    std::lock_guard lock(hitCountMutex(engine));
    readCount(r);
    countHit(r);
}

void readPageCount(Engine& engine, HttpRequest& r) {
    if (r.counter.read) return;
    {
        std::lock_guard lock(hitCountMutex(engine));
        readCount(r);
    }
    r.hitCount = std::to_string(r.counter.count);
}

}  // namespace qv
