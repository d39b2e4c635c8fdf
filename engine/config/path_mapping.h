// From a request path (an HTTP URL path, an FTP path, a Gopher selector) to
// a local file: the alias table (longest matching prefix), else the
// server's document folder; device names, "..", the ".htm"/".html" twin,
// the alias's host restriction and its owner.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/config/settings.h"

namespace qv {

// Results of aliasToDosDir.
constexpr int kMapped = 0;
constexpr int kMapDotDot = -10;        // the path climbs out with ".." (or holds a NUL)
constexpr int kMapLoginNeeded = -20;   // the alias has an owner the request does not satisfy
constexpr int kMapHostRefused = -50;   // the client is outside the alias's host mask
constexpr int kMapNoPath = -51;
constexpr int kMapTooLong = -55;       // the local path would be 256 characters or more
constexpr int kMapDevice = -56;        // the last component names a DOS device

constexpr std::size_t kMaxLocalPath = 256;

struct MappingContext {
    std::string_view root;                     // the server's document folder, ends in "/"; empty for none
    uint32_t ownAddress = 0;                   // the listening address (network order), for host masks
    std::optional<std::string_view> client;    // dotted client address; none refuses restricted aliases
    std::optional<std::string_view> user;
    std::optional<std::string_view> password;
    // A missing ".htm" is taken as its ".html" twin and the other way round
    // (HTTP and Gopher).  FTP names files exactly: a DELE of "a.htm" must
    // never delete "a.html".
    bool htmlTwin = true;
};

struct FileStamp {
    uint64_t size = 0;
    int64_t mtime = 0;  // seconds since 1970
    uint16_t dosDate = 0;
    uint16_t dosTime = 0;
    // Which file it was and when it last changed, to the nanosecond: what a
    // copy of its content is checked against.
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0;
};

// Maps `path` (runs of separators in it are collapsed in place) into
// `result`; `matched` receives the alias used, or null.  The mapping looks
// at the file it maps to; `stamp`, when given, receives what it saw of
// `result` (see fileSizeAndDate), or nothing when it did not look at
// `result` as it stands, so that a caller needs no second look.
int aliasToDosDir(const Settings& s, std::string& path, std::string& result, const AliasEntry*& matched,
                  const MappingContext& context, std::optional<FileStamp>* stamp = nullptr);

// The size of a regular file and its modification time as DOS date and time
// (local time); size 0 for a folder, an empty file or nothing, which every
// caller treats as absent.
FileStamp fileSizeAndDate(const std::string& name);

// The folder with every "$1" replaced by the word.
std::string substituteDollarOne(std::string_view folder, std::string_view word);

}  // namespace qv
