// The entries of one folder, as FTP listings and Gopher menus show them:
// every file and folder except "." and "..", sorted by name without regard
// to case (ties broken by the exact bytes, so the order never varies).
//
// Names that hold CR, LF or TAB are left out: a listing line or a menu line
// ends at them, so such a name could forge lines of its own.  Work files of
// an unfinished write (kWorkFilePrefix) are left out too.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace qv {

struct FolderEntry {
    std::string name;
    uint64_t size = 0;  // 0 for a folder
    bool folder = false;
    std::time_t modified = 0;
    uint16_t dosDate = 0;  // the modification time in local time
    uint16_t dosTime = 0;
};

// Nothing when the folder cannot be opened; an empty list for an empty
// folder.  An entry that vanishes while it is read, or a link to nothing,
// is left out.
std::optional<std::vector<FolderEntry>> readFolderEntries(const std::string& folder);

// True when the name may stand in a listing or menu line (see above).
bool listableName(const std::string& name);

// The size column of HTTP folder listings and Gopher menus, seven
// characters for sizes below 10,000 MB: "1023 B ", "   1 kB", "   1 MB".
// kB are 1,024 bytes, MB 1,024,000; whole numbers, truncated.
std::string listingSizeText(uint64_t size);

}  // namespace qv
