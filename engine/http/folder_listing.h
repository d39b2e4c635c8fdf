// The rows of a generated folder listing, in preformatted text: anchor,
// optional picture from the folder's "icons" subfolder, kind mark, name,
// size and date, and a description from "access.qac" or the page's title.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/config/settings.h"

namespace qv {

// The text after the first "<title>", "<h1>", "<h2>" or "<h3>" (any case)
// in the first 1,024 bytes, up to the next "<", CR or LF, cut to 40
// characters; empty when there is none.
std::string pageTitle(const std::string& path);

struct ListingEntry {
    std::string name;
    bool folder = false;
    uint64_t size = 0;
    uint16_t dosDate = 0;
};

// What a listing needs to know of its folder, found once per listing rather
// than once per row: whether it has an access file and an "icons" folder.
struct ListingFolder {
    std::string path;
    bool accessFile = false;
    bool icons = false;
};
ListingFolder listingFolder(const std::string& path);

// One row, ending in CR LF.  `folderUrl` ends in "/".
std::string listingRow(const Settings& s, std::string_view folderUrl, const ListingFolder& folder,
                       const ListingEntry& e);

}  // namespace qv
