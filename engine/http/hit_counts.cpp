#include "engine/http/hit_counts.h"

#include <sys/stat.h>

#include "engine/http/http_shared.h"
#include "engine/log/dates.h"
#include "engine/platform/profile.h"

namespace qv {

namespace {

constexpr std::size_t kKeyLength = 259;

std::string centralFile(const Settings& s) {
    std::string folder = s.logdir;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder + "counts.qvx";
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

}  // namespace

int32_t readCount(const HitCountStore& store, HttpRequest& r) {
    using Kind = HitCountStore::Kind;
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
            k.count = profileNumber(access.getString("counts", k.fileKey, "", 64)) +
                      store.waiting(Kind::kLocal, k.accessFile, k.fileKey).hits;
            if (access.hasKey("count", "StartDate")) r.hitStartDate = access.getString("count", "StartDate", "", 260);
        }
    }
    if (!s.countfilehits) return k.count;
    const std::string key = counterKey(r).substr(0, kKeyLength);
    const std::string file = centralFile(s);
    ProfileFile central(file);
    const HitCountStore::Waiting waiting = store.waiting(Kind::kCentral, file, key);
    const bool stored = central.hasKey("Commands", key);
    if (!stored && waiting.hits == 0) return k.count;
    k.central = true;
    if (s.localfilehits && k.local) return k.count;
    if (!stored) {
        k.count = waiting.hits;  // made by a hit not written yet
        r.hitStartDate = waiting.startDate;
        return k.count;
    }
    std::string value = central.getString("Commands", key, "", 512);
    std::size_t blank = value.find(' ');
    k.count = profileNumber(value.substr(0, blank)) + waiting.hits;
    std::string rest = blank == std::string::npos ? std::string() : value.substr(blank + 1);
    r.hitStartDate = rest.substr(std::min(rest.size(), rest.find_first_not_of(' ')));
    return k.count;
}

void countHit(HitCountStore& store, HttpRequest& r) {
    using Kind = HitCountStore::Kind;
    HttpRequest::Counter& k = r.counter;
    const Settings& s = *r.settings;
    k.count++;
    if (s.localfilehits && k.local) store.add(Kind::kLocal, k.accessFile, k.fileKey, r.hitStartDate);
    if (s.countfilehits && (k.central || (s.addtofilehits && !k.local && servedSomething(r))))
        store.add(Kind::kCentral, centralFile(s), counterKey(r).substr(0, kKeyLength), r.hitStartDate);
}

void updateCounters(Connection& c, HttpRequest& r) {
    const Settings& s = *r.settings;
    HttpShared* shared = httpShared(c);
    if (!shared || (!s.countfilehits && !s.localfilehits)) return;
    readCount(shared->counts, r);
    countHit(shared->counts, r);
}

void readPageCount(Connection& c, HttpRequest& r) {
    if (r.counter.read) return;
    if (HttpShared* shared = httpShared(c)) readCount(shared->counts, r);
    r.hitCount = std::to_string(r.counter.count);
}

}  // namespace qv
