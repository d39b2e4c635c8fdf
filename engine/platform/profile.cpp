#include "engine/platform/profile.h"

#include "engine/platform/file_lock.h"
#include "engine/platform/unique_fd.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace qv {

namespace {

struct Entry {
    std::string key;
    std::string value;
    std::size_t line;
};

struct Section {
    std::string name;
    std::size_t header;   // line of "[name]"
    std::size_t end;      // one past the section's last line
    std::vector<Entry> entries;
    // Each key, lower-cased, to its first entry: a file of thousands of
    // entries (hit counts) is looked up without a scan.
    std::unordered_map<std::string, std::size_t> firstByKey;
};

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

struct Parsed {
    std::vector<std::string> lines;  // without line ends
    bool crlf = false;
    std::vector<Section> sections;
};

bool sameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y) return false;
    }
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

void index(Parsed& p) {
    p.sections.clear();
    for (std::size_t i = 0; i < p.lines.size(); ++i) {
        std::string_view line = trim(p.lines[i]);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            if (!p.sections.empty()) p.sections.back().end = i;
            auto close = line.find(']');
            std::string_view name = line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1);
            p.sections.push_back(Section{std::string(trim(name)), i, p.lines.size(), {}, {}});
            continue;
        }
        auto eq = line.find('=');
        if (eq == std::string_view::npos || p.sections.empty()) continue;
        Section& section = p.sections.back();
        section.entries.push_back(
            Entry{std::string(trim(line.substr(0, eq))), std::string(trim(line.substr(eq + 1))), i});
        section.firstByKey.try_emplace(lowerAscii(section.entries.back().key), section.entries.size() - 1);
    }
}

Parsed parse(const std::string& text) {
    Parsed p;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        std::size_t stop = nl == std::string::npos ? text.size() : nl;
        std::string line = text.substr(start, stop - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            if (p.lines.empty()) p.crlf = true;
        }
        p.lines.push_back(std::move(line));
        start = stop + 1;
    }
    index(p);
    return p;
}

std::string serialise(const Parsed& p) {
    std::string out;
    const char* eol = p.crlf ? "\r\n" : "\n";
    for (const auto& line : p.lines) {
        out += line;
        out += eol;
    }
    return out;
}

const Section* findSection(const Parsed& p, std::string_view name) {
    for (const auto& s : p.sections)
        if (sameNoCase(s.name, name)) return &s;
    return nullptr;
}

const Entry* findEntry(const Section* s, std::string_view key) {
    if (!s) return nullptr;
    auto it = s->firstByKey.find(lowerAscii(key));
    return it == s->firstByKey.end() ? nullptr : &s->entries[it->second];
}

bool readWholeFile(const std::string& path, std::string& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[8192];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return true;
}

// The read cache.  An entry is valid while the file keeps its inode, size,
// modification and change times; an in-place edit changes the times.  A
// rename-over does not always change the inode: ext4 hands the number that
// the replaced file freed to the next new file at once.  As file times move
// in steps of the kernel's clock tick, two versions written within one tick
// can carry the same stamp; see settled().
struct CacheSlot {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime {};
    timespec ctime {};
    bool settled = false;                    // the stamp alone proves the file unchanged
    std::shared_ptr<const std::string> text;  // else the text is compared
    std::shared_ptr<const Parsed> parsed;
};

std::mutex cacheMutex;
std::unordered_map<std::string, CacheSlot> cache;

// Files read once each (a mail control file per message) would make the
// cache grow without end: past this many files it starts afresh.
constexpr std::size_t kMaxCachedFiles = 512;

// The slot for `path`; the caller holds cacheMutex.
CacheSlot& cacheSlot(const std::string& path) {
    if (cache.size() >= kMaxCachedFiles && cache.find(path) == cache.end()) cache.clear();
    return cache[path];
}

bool sameStamp(const CacheSlot& slot, const struct stat& st) {
    return slot.dev == st.st_dev && slot.ino == st.st_ino && slot.size == st.st_size &&
           slot.mtime.tv_sec == st.st_mtim.tv_sec && slot.mtime.tv_nsec == st.st_mtim.tv_nsec &&
           slot.ctime.tv_sec == st.st_ctim.tv_sec && slot.ctime.tv_nsec == st.st_ctim.tv_nsec;
}

bool newer(const timespec& a, const timespec& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// A stamp is trusted only for a file that had not changed for a few seconds
// when it was taken: any later change then gets other times.  A file that
// changed more recently is read again and parsed only when its text differs.
constexpr time_t kSettledSeconds = 2;

bool settled(const struct stat& st) {
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - st.st_ctim.tv_sec >= kSettledSeconds && now.tv_sec - st.st_mtim.tv_sec >= kSettledSeconds;
}

std::shared_ptr<const Parsed> load(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        std::lock_guard lock(cacheMutex);
        cache.erase(path);
        return std::make_shared<const Parsed>();
    }
    std::shared_ptr<const Parsed> parsed;
    std::shared_ptr<const std::string> seen;
    {
        std::lock_guard lock(cacheMutex);
        auto it = cache.find(path);
        if (it != cache.end()) {
            if (it->second.settled && sameStamp(it->second, st)) return it->second.parsed;
            parsed = it->second.parsed;
            seen = it->second.text;
        }
    }
    auto text = std::make_shared<std::string>();
    readWholeFile(path, *text);
    if (!seen || *seen != *text) parsed = std::make_shared<const Parsed>(parse(*text));
    // Stamp with the times seen before the read: a change that lands during
    // the read moves them, so the next read parses the file again.
    std::lock_guard lock(cacheMutex);
    // The writer may have trusted its own write while the read went on (of
    // this version, or of one changed in a later clock tick): a slot that
    // must be compared again would take its place for good, as readers
    // re-reading a large file keep racing each write.
    CacheSlot& slot = cacheSlot(path);
    if (slot.settled && (sameStamp(slot, st) || newer(slot.ctime, st.st_ctim))) return slot.parsed;
    slot = CacheSlot{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim, settled(st), std::move(text), parsed};
    return parsed;
}

// A file rewritten often (hit counts, written under their own machine-wide
// mutex) is never settled, so every read would read it whole again.  What
// this process has just written is cached as trusted for the stamp the
// file has now; only a writer that replaced it in between, within the same
// clock tick, with the same size, could go unseen.
void trustOwnWrite(const std::string& path, Parsed p, std::shared_ptr<const std::string> text) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return;
    index(p);
    std::lock_guard lock(cacheMutex);
    cacheSlot(path) = CacheSlot{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim, true, std::move(text),
                            std::make_shared<const Parsed>(std::move(p))};
}

void applyWrite(Parsed& p, std::string_view section, std::optional<std::string_view> key,
                std::optional<std::string_view> value) {
    const Section* s = findSection(p, section);
    if (!key) {
        if (s) p.lines.erase(p.lines.begin() + s->header, p.lines.begin() + s->end);
        return;
    }
    const Entry* e = findEntry(s, *key);
    if (!value) {
        if (e) p.lines.erase(p.lines.begin() + e->line);
        return;
    }
    std::string line(*key);
    line.append("=").append(*value);
    if (e) {
        p.lines[e->line] = line;
    } else if (s) {
        std::size_t at = s->entries.empty() ? s->header + 1 : s->entries.back().line + 1;
        p.lines.insert(p.lines.begin() + at, line);
    } else {
        if (!p.lines.empty() && !trim(p.lines.back()).empty()) p.lines.emplace_back();
        p.lines.push_back(std::string("[").append(section).append("]"));
        p.lines.push_back(line);
    }
}

// Swaps the new file in and removes the old one; false when the system
// cannot swap (no old file, or a file system without the exchange), and
// nothing changed.  A plain rename over an existing file makes ext4 write
// the new file's blocks out at once; an exchange does not, which matters
// for a file rewritten at every hit.
bool exchangeInto(const std::string& tmp, const std::string& path) {
    if (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0) return false;
    unlink(tmp.c_str());  // now the old file
    return true;
}

int replaceFile(const std::string& path, const std::string& text, bool sync) {
    struct stat old {};
    mode_t mode = stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    const std::size_t slash = path.rfind('/') + 1;  // 0 when there is none
    std::string tmp = path.substr(0, slash) + std::string(kWorkFilePrefix) + path.substr(slash) + ".XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            close(fd);
            unlink(tmp.c_str());
            return err;
        }
        done += static_cast<std::size_t>(n);
    }
    fchmod(fd, mode);
    // The group (and, for root, the owner) of the file being replaced:
    // a settings file shared through its group stays shared.
    if (old.st_ino != 0 && fchown(fd, old.st_uid, old.st_gid) != 0) {
        // Not root: the group at least, when this user is in it; else the
        // file is this user's now, as any editor would leave it.
        [[maybe_unused]] const int ignored = fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    }
    if ((sync && fsync(fd) != 0) || close(fd) != 0) {
        int err = errno;
        unlink(tmp.c_str());
        return err;
    }
    if (!sync && exchangeInto(tmp, path)) return 0;
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        unlink(tmp.c_str());
        return err;
    }
    return 0;
}

std::mutex writeMutex;

// The write lock of `path`: an flock on a hidden file beside it (the file
// itself is replaced at every write, so a lock on it would guard nothing).
int takeWriteLock(const std::string& path, UniqueFd& lock) {
    const std::size_t slash = path.rfind('/') + 1;  // 0 when there is none
    const std::string lockPath =
        path.substr(0, slash) + std::string(kWorkFilePrefix) + path.substr(slash) + ".lock";
    lock.reset(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660));
    if (!lock.valid()) return errno;
    return lockExclusive(lock.get(), std::chrono::milliseconds(ProfileFile::kWriteLockWaitMs));
}

}  // namespace

int profileNumber(std::string_view text) {
    text = trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // 32-bit arithmetic that wraps, as the classic reader's did.
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10u + static_cast<uint32_t>(c - '0');
    }
    return static_cast<int>(negative ? 0u - value : value);
}

std::string ProfileFile::getString(std::string_view section, std::string_view key, std::string_view def,
                                   std::size_t size) const {
    auto parsed = load(path_);
    const Entry* e = findEntry(findSection(*parsed, section), key);
    std::string_view value = e ? std::string_view(e->value) : def;
    if (size == 0) return {};
    return std::string(value.substr(0, size - 1));
}

int ProfileFile::getInt(std::string_view section, std::string_view key, int def) const {
    auto parsed = load(path_);
    const Entry* e = findEntry(findSection(*parsed, section), key);
    return e ? profileNumber(e->value) : def;
}

bool ProfileFile::hasKey(std::string_view section, std::string_view key) const {
    auto parsed = load(path_);
    return findEntry(findSection(*parsed, section), key) != nullptr;
}

std::vector<std::string> ProfileFile::keys(std::string_view section) const {
    auto parsed = load(path_);
    std::vector<std::string> out;
    if (const Section* s = findSection(*parsed, section)) {
        for (const auto& e : s->entries) {
            bool seen = false;
            for (const auto& k : out) seen = seen || sameNoCase(k, e.key);
            if (!seen) out.push_back(e.key);
        }
    }
    return out;
}

namespace {

// A line break in any part, or a bracket or "=" in a name, would turn one
// entry into several lines or sections: such a write is refused whole.
bool writable(std::string_view section, std::optional<std::string_view> key, std::optional<std::string_view> value) {
    auto breaks = [](std::string_view t) { return t.find_first_of("\r\n") != std::string_view::npos; };
    if (breaks(section) || section.find(']') != std::string_view::npos) return false;
    if (key) {
        std::string_view name = trim(*key);
        if (breaks(*key) || key->find('=') != std::string_view::npos) return false;
        if (!name.empty() && (name.front() == '[' || name.front() == ';')) return false;
    }
    return !(value && breaks(*value));
}

}  // namespace

int ProfileFile::writeString(std::string_view section, std::optional<std::string_view> key,
                             std::optional<std::string_view> value) const {
    ProfileWrite write {std::string(section), key ? std::optional<std::string>(*key) : std::nullopt,
                        value ? std::optional<std::string>(*value) : std::nullopt};
    return writeBatch({std::move(write)});
}

int ProfileFile::writeBatch(const std::vector<ProfileWrite>& writes) const {
    for (const ProfileWrite& w : writes)
        if (!writable(w.section, w.key, w.value)) return EINVAL;
    std::lock_guard lock(writeMutex);
    UniqueFd fileLock;
    if (int err = takeWriteLock(path_, fileLock)) return err;
    std::string text;
    readWholeFile(path_, text);
    Parsed p = parse(text);
    for (const ProfileWrite& w : writes) {
        applyWrite(p, w.section, w.key, w.value);
        index(p);
    }
    auto written = std::make_shared<const std::string>(serialise(p));
    if (int err = replaceFile(path_, *written, syncWrites_)) return err;
    if (!syncWrites_) trustOwnWrite(path_, std::move(p), std::move(written));
    return 0;
}

struct ProfileText::Lines {
    Parsed parsed;
};

ProfileText::ProfileText() : lines_(std::make_unique<Lines>()) {}
ProfileText::~ProfileText() = default;

int ProfileText::writeString(std::string_view section, std::optional<std::string_view> key,
                             std::optional<std::string_view> value) {
    if (!writable(section, key, value)) return EINVAL;
    applyWrite(lines_->parsed, section, key, value);
    index(lines_->parsed);
    return 0;
}

std::string ProfileText::text() const { return serialise(lines_->parsed); }

}  // namespace qv
