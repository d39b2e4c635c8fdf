#include "engine/http/folder_listing.h"

#include <cstdio>
#include <unistd.h>

#include "engine/config/access.h"
#include "engine/config/file_types.h"
#include "engine/core/folder_entries.h"
#include "engine/log/dates.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/runtime_dir.h"

namespace qv {

namespace {

constexpr std::size_t kTitleScan = 1024;
constexpr std::size_t kTitleLength = 40;
constexpr std::size_t kNameColumn = 41;
constexpr std::size_t kDescriptionSize = 129;

std::string kindMark(const Settings& s, const ListingEntry& e) {
    std::optional<std::string_view> icon;
    if (e.folder) {
        if (s.folderIcon) icon = *s.folderIcon;
    } else {
        icon = fileIcon(s, e.name);
    }
    if (!icon || icon->empty()) return e.folder ? "Dir : " : "File : ";
    return concat({"<img border=0 src=", *icon, ">"});
}

// Names are padded by the characters a reader sees, and escaped: a file
// name may hold markup.
std::string namePart(const Settings& s, const ListingEntry& e) {
    const std::string name = htmlEscape(e.name);
    if (e.folder) {
        std::string pad(e.name.size() < kNameColumn ? kNameColumn - e.name.size() : 0, ' ');
        return concat({kindMark(s, e), " ", name, "/</a>", pad});
    }
    std::string aligned = std::string(e.name.size() < 20 ? 20 - e.name.size() : 0, ' ') + name;
    return concat({kindMark(s, e), " ", aligned, "</A> ", listingSizeText(e.size), "  ", dosDateText(e.dosDate)});
}

std::string description(const ListingFolder& folder, const ListingEntry& e) {
    const std::string& folderPath = folder.path;
    if (folder.accessFile)
        if (auto text = readAccessFile(joinPath(folderPath, e.name), "Description", e.name, kDescriptionSize))
            return *text;
    // Only names whose type is upper-case "HTM..." get a title, as the
    // listing has always done for its short names.
    if (!e.folder && fileExtension(e.name).rfind("HTM", 0) == 0) {
        std::string title = pageTitle(joinPath(folderPath, e.name));
        if (!title.empty()) return title;
    }
    return " ";
}

// The end of a title starting at `from`, or npos when it does not end
// within the scanned text.
std::size_t titleEnd(std::string_view text, std::size_t from) { return text.find_first_of("<\r\n", from); }

}  // namespace

std::string pageTitle(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        debugPrint("Error opening htm file\r\n");
        return {};
    }
    char buf[kTitleScan];
    std::size_t n = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    std::string_view text(buf, n);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '<') continue;
        std::string_view here = text.substr(i);
        std::size_t start = 0;
        if (startsWithNoCase(here, "<title>"))
            start = i + 7;
        else if (startsWithNoCase(here, "<h1>") || startsWithNoCase(here, "<h2>") || startsWithNoCase(here, "<h3>"))
            start = i + 4;
        else
            continue;
        std::size_t end = titleEnd(text, start);
        if (end == std::string_view::npos) return {};
        return std::string(text.substr(start, std::min(end - start, kTitleLength)));
    }
    return {};
}

ListingFolder listingFolder(const std::string& path) {
    ListingFolder folder{path};
    folder.accessFile = access(joinPath(path, "access.qac").c_str(), F_OK) == 0;
    folder.icons = access(joinPath(path, "icons").c_str(), F_OK) == 0;
    return folder;
}

std::string listingRow(const Settings& s, std::string_view folderUrl, const ListingFolder& folder,
                       const ListingEntry& e) {
    std::string url = htmlEscape(urlEscape(concat({folderUrl, e.name})));
    std::string anchor = concat({"<A HREF = \"http:", url, e.folder ? "/\">" : "\">"});
    std::string picture;
    if (folder.icons && access(joinPath(joinPath(folder.path, "icons"), e.name).c_str(), F_OK) == 0)
        picture = concat({"<IMAGE ALIGN=MIDDLE SRC=", htmlEscape(concat({folderUrl, "icons/", e.name})), ">"});
    return concat({anchor, picture, namePart(s, e), " ", description(folder, e), "\r\n"});
}

}  // namespace qv
