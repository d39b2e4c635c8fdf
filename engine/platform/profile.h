// Profile (INI) files with the semantics of the classic profile functions:
// section and key names match without regard to case, the first match wins,
// values are trimmed of surrounding blanks, a string is cut to the buffer
// size minus one, an absent key gives the default, an integer is the decimal
// number at the start of the value.  Lines starting with ";" are comments.
//
// Writes replace or add the key (creating file and section as needed); no
// value deletes the key, no key deletes the section.  A write goes to a new
// file that is renamed over the old one, so a crash never leaves half a file;
// the new file keeps the old one's mode, group and (when the system lets
// it) owner.  Writers in every process take the file's write lock (a hidden
// lock file beside it) around the read-modify-replace, so no two writers
// lose each other's changes; a writer waits for it at most kWriteLockWait.
//
// Reads are served from a cache checked against the file's identity, size
// and times, so a change by another process is seen at the next read.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// One write of a batch: as ProfileFile::writeString's arguments.
struct ProfileWrite {
    std::string section;
    std::optional<std::string> key;
    std::optional<std::string> value;
};

class ProfileFile {
public:
    static constexpr int kWriteLockWaitMs = 10000;

    // `syncWrites` false: a write is still atomic (a killed process leaves
    // the old file or the new one) but not flushed to the disk before the
    // rename, for files rewritten often whose loss in a power cut is
    // acceptable (hit counts).
    explicit ProfileFile(std::string path, bool syncWrites = true) : path_(std::move(path)), syncWrites_(syncWrites) {}

    const std::string& path() const { return path_; }

    // The value cut to size - 1 characters (size 0 gives the empty text).
    std::string getString(std::string_view section, std::string_view key, std::string_view def,
                          std::size_t size) const;
    int getInt(std::string_view section, std::string_view key, int def) const;
    bool hasKey(std::string_view section, std::string_view key) const;
    // Key names of a section in file order (first occurrence of each).
    std::vector<std::string> keys(std::string_view section) const;

    // Returns 0 on success, else the errno of the failing step; EINVAL for a
    // line break anywhere, "=" in the key or a key that would read as a
    // section or a comment (first character "[" or ";"), "]" in the section.
    int writeString(std::string_view section, std::optional<std::string_view> key,
                    std::optional<std::string_view> value) const;
    // Applies the writes in order in one replace of the file: all of them
    // or (on any refusal or failure) none.  0, or the errno as above
    // (EWOULDBLOCK when the write lock stayed taken).
    int writeBatch(const std::vector<ProfileWrite>& writes) const;

private:
    std::string path_;
    bool syncWrites_ = true;
};

// A profile built in memory with the same write semantics, for a file that
// is written once whole (a gateway program's request profile).
class ProfileText {
public:
    ProfileText();
    ~ProfileText();
    ProfileText(const ProfileText&) = delete;
    ProfileText& operator=(const ProfileText&) = delete;

    // As ProfileFile::writeString: 0, or EINVAL for a text it refuses.
    int writeString(std::string_view section, std::optional<std::string_view> key,
                    std::optional<std::string_view> value);
    // The file's text, lines ended by "\n".
    std::string text() const;

private:
    struct Lines;
    std::unique_ptr<Lines> lines_;
};

// A write's new file is made beside the old one under a hidden name that
// starts with this prefix, so that one a crash left behind is never
// listed or served (see isWorkFileName).
inline constexpr std::string_view kWorkFilePrefix = ".qvwork.";
inline bool isWorkFileName(std::string_view name) { return name.starts_with(kWorkFilePrefix); }

// Integer value of a profile text: optional blanks and sign, then decimal
// digits; 0 when it does not start with a number.
int profileNumber(std::string_view text);

}  // namespace qv
